// The one pass that finds "Include=" and "CoreFilePath=" anywhere in an INF, and the memo
// that lets the reader and the search share it.
#include "inf/inf_directives.h"

#include <gtest/gtest.h>

#include "platform/profile_file.h"

namespace vornel::inf {
namespace {

std::vector<std::string> Includes(std::string_view text) {
    std::vector<std::string> out;
    for (size_t eq : FindInfDirectives(text).includes) out.emplace_back(RestOfLine(text, eq));
    return out;
}

TEST(InfDirectives, FoundWhereverTheyFallAndOnlyAsWholeKeys) {
    // Sixteen bytes are tested at a time: every offset against those blocks, and the end.
    for (size_t pad = 0; pad < 40; ++pad) {
        const std::string text = std::string(pad, ';') + "\r\nINCLUDE\t= a.inf\r\nInclud=no\r\n" +
                                 "Includes=no\r\nCoreFilePat=no\r\ncorefilepath =Vendor\r\ninclude=b.inf";
        const InfDirectives d = FindInfDirectives(text);
        ASSERT_EQ(d.includes.size(), 2u) << pad;
        EXPECT_EQ(RestOfLine(text, d.includes[0]), " a.inf") << pad;
        EXPECT_EQ(RestOfLine(text, d.includes[1]), "b.inf") << pad;
        ASSERT_NE(d.coreFilePath, InfDirectives::npos) << pad;
        EXPECT_EQ(RestOfLine(text, d.coreFilePath), "Vendor") << pad;
    }
    EXPECT_EQ(FindInfDirectives("=Include").includes.size(), 0u);
    EXPECT_EQ(FindInfDirectives("CoreFilePath").coreFilePath, InfDirectives::npos);
}

TEST(InfDirectives, AnIncludeTakesItsLineButACoreFilePathThereCounts) {
    const std::string text =
        "; Include=commented.inf\r\nInclude=a.inf, Include=b.inf ; CoreFilePath=First\r\n"
        "Include=c.inf\rCoreFilePath=Second\n";
    EXPECT_EQ(Includes(text), (std::vector<std::string>{
                                  "commented.inf", "a.inf, Include=b.inf ; CoreFilePath=First",
                                  "c.inf"}));
    EXPECT_EQ(RestOfLine(text, FindInfDirectives(text).coreFilePath), "First");
}

TEST(InfDirectives, TheMemoNeverAnswersForAnotherFile) {
    auto a = std::make_shared<const platform::ProfileFile>(std::string_view("Include=a.inf"));
    auto b = std::make_shared<const platform::ProfileFile>(std::string_view("x=1\r\nInclude=b"));
    EXPECT_EQ(InfDirectivesOf(a).includes, std::vector<size_t>{7});
    EXPECT_EQ(InfDirectivesOf(b).includes, std::vector<size_t>{12});
    EXPECT_EQ(InfDirectivesOf(a).includes, std::vector<size_t>{7});
    // A file freed and another made, likely at the same address.
    a.reset();
    a = std::make_shared<const platform::ProfileFile>(std::string_view("CoreFilePath=x"));
    EXPECT_TRUE(InfDirectivesOf(a).includes.empty());
    EXPECT_EQ(InfDirectivesOf(a).coreFilePath, 12u);
    EXPECT_TRUE(InfDirectivesOf(nullptr).includes.empty());
}

}  // namespace
}  // namespace vornel::inf
