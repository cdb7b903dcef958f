// Class count, class names, the standard-provider test and the class icon numbers.
#include "scan/device_classes.h"

#include <gtest/gtest.h>

#include <memory>
#include <cstdio>
#include <set>

#include "platform/profile_reader.h"
#include "platform/reg_file_store.h"
#include "support/text.h"

namespace vornel {
namespace {

constexpr const char* kDisplayClass = "{4D36E968-E325-11CE-BFC1-08002BE10318}";
// Icon numbers are stored in documents, so they are fixed by the table's order: the unknown
// class is row 28 and the display class row 9.
constexpr int16_t kUnknownIcon = 320 + 27;
constexpr int16_t kDisplayIcon = 320 + 8;

class DeviceClassesTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto store = std::make_shared<platform::RegFileStore>();
        std::string error;
        ASSERT_TRUE(store->Import("REGEDIT4\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:1\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{A}\\0000]\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{B}]\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{C}\\0000]\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{C}\\0001]\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Class\\Display]\r\n",
                                  "machine.reg", &error))
            << error;
        view_.Mount("", store);
        info_.bNT = true;
        info_.sComputerName = "DESKTOP1";
    }
    ScanContext Ctx() { return ScanContext{reg_, info_, nullptr, profiles_}; }
    DriverRecord Device(const std::string& guid) {
        DriverRecord r;
        r.ClassGUID = guid;
        r.DeviceInstanceId = "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1&DEV_2\\3&1";
        r.DeviceDesc = "Mobile Graphics";
        return r;
    }

    platform::RegistryView view_;
    cReg reg_{view_};
    ComputerInfo info_;
    platform::ProfileReader profiles_;
};

TEST_F(DeviceClassesTest, ClassCountByFamily) {
    ScanContext ctx = Ctx();
    EXPECT_EQ(ClassCount(ctx, false), 3);
    EXPECT_EQ(ClassCount(ctx, true), 3);  // 1, then {A} and {C}, which have subkeys
    info_.bNT = false;
    info_.bWin9x = true;
    EXPECT_EQ(ClassCount(ctx, false), 1);
    EXPECT_EQ(ClassCount(ctx, true), 1);
}

TEST(DeviceClasses, ClassNamesComeFromTheTableWhateverTheCase) {
    EXPECT_EQ(ClassDisplayName("{4d36e968-e325-11ce-bfc1-08002be10318}", "Anzeige"), "Display adapters");
    EXPECT_EQ(ClassDisplayName("{4D36E978-E325-11CE-BFC1-08002BE10318}", ""), "Ports (COM & LPT)");
    EXPECT_EQ(ClassDisplayName("{00000000-0000-0000-0000-000000000001}", "Caller's name"), "Caller's name");
    EXPECT_EQ(ClassDisplayName("", "Caller's name"), "Caller's name");
    // A row of the table with an empty name answers empty, not with the caller's name.
    EXPECT_EQ(ClassDisplayName("{CC41EBA2-AB57-4F4E-8C3D-1BC33B1E74E3}", "Caller's name"), "");

    ASSERT_EQ(ClassTable().size(), 52u);
    std::set<std::string_view> seen;
    for (const auto& row : ClassTable()) {
        EXPECT_TRUE(ClassIconSet::IsGuidText(row.guid)) << row.guid;
        EXPECT_EQ(text::UpperAscii(row.guid), row.guid);
        EXPECT_TRUE(seen.insert(row.guid).second) << row.guid;
    }
}

TEST(DeviceClasses, StandardProvidersWithoutRegardToCase) {
    for (const char* s : {"Microsoft", "Microsoft Corporation", "MICROSOFT", "(Standard disk drives)",
                          "(STANDARD DISK DRIVES)", "Provider: (Standard system devices) inc", "ms_gusbc"})
        EXPECT_TRUE(IsStandardProvider(s)) << s;
    // The French names, accented letters in either case.
    for (const char* s : {"(Contrôleur hôte USB standard)", "(CONTRÔLEUR HÔTE USB STANDARD)",
                          "(Types d'Écrans standard)", "PÉRIPHÉRIQUE DE STOCKAGE USB COMPATIBLE"})
        EXPECT_TRUE(IsStandardProvider(s)) << s;
    for (const char* s : {"", "Intel", "(Standard)", "Micro soft", "(Controleur hote USB standard)"})
        EXPECT_FALSE(IsStandardProvider(s)) << s;
}

TEST_F(DeviceClassesTest, IconStepGivesClasslessDevicesTheUnknownClass) {
    ScanContext ctx = Ctx();
    ClassIconSet icons;
    DriverRecord r = Device("");
    r.Class = "";
    ClassIconNode node = mP_GetIconDataSetParentNode(ctx, r, icons, "");
    EXPECT_EQ(r.Class, "UNKNOWN");
    EXPECT_EQ(r.ClassGUID, kUnknownClassGuid);
    EXPECT_EQ(node.key, kUnknownClassGuid);
    EXPECT_EQ(r.TVIconIdx, kUnknownIcon);
    EXPECT_EQ(node.parent, "DESKTOP1");
    EXPECT_EQ(mP_GetIconDataSetParentNode(ctx, r, icons, "Other devices").parent, "Other devices");

    // A device that claims a class but cannot be told apart shows the unknown icon, and
    // keeps its class.
    auto iconOf = [&](DriverRecord d) {
        mP_GetIconDataSetParentNode(ctx, d, icons, "");
        EXPECT_EQ(d.ClassGUID, kDisplayClass);
        return d.TVIconIdx;
    };
    EXPECT_EQ(iconOf(Device(kDisplayClass)), kDisplayIcon);
    DriverRecord d = Device(kDisplayClass);
    d.DeviceInstanceId.clear();
    EXPECT_EQ(iconOf(d), kUnknownIcon);
    d = Device(kDisplayClass);
    d.DeviceDesc = "Unknown Device";
    EXPECT_EQ(iconOf(d), kUnknownIcon);
    d = Device(kDisplayClass);
    d.NoHWID = true;
    EXPECT_EQ(iconOf(d), kUnknownIcon);
    d.IsDriverInstalled = true;
    EXPECT_EQ(iconOf(d), kDisplayIcon);
    EXPECT_TRUE(icons.ScanGuids().empty());
}

TEST_F(DeviceClassesTest, ClassesWithoutAnIconGetNumbersOfThisScan) {
    ScanContext ctx = Ctx();
    ClassIconSet icons;
    auto iconOf = [&](const std::string& guid) {
        DriverRecord r = Device(guid);
        mP_GetIconDataSetParentNode(ctx, r, icons, "");
        return r.TVIconIdx;
    };
    auto guid = [](int n) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "{%08X-0000-0000-0000-00000000ABCD}", n);
        return std::string(buf);
    };
    EXPECT_EQ(iconOf(guid(1)), 300);
    EXPECT_EQ(iconOf(text::LowerAscii(guid(2))), 301);
    EXPECT_EQ(iconOf(guid(1)), 300);  // met again: the same entry
    EXPECT_EQ(icons.GuidOfIconNumber(301), guid(2));
    // The set stops short of the built-in numbers; a further class gets no icon.
    for (int n = 3; n <= 20; ++n) EXPECT_EQ(iconOf(guid(n)), 299 + n);
    EXPECT_EQ(iconOf(guid(21)), 0);
    // So does a class name that is not a GUID (a 9x class key's name).
    EXPECT_EQ(iconOf("MEDIA"), 0);

    // Every built-in number maps back to its class; the table's classes come first.
    const auto builtIn = ClassIconSet::BuiltInGuids();
    EXPECT_GT(builtIn.size(), ClassTable().size());
    std::set<std::string_view> seen;
    for (size_t i = 0; i < builtIn.size(); ++i) {
        const auto number = static_cast<int16_t>(320 + i);
        EXPECT_EQ(icons.GuidOfIconNumber(number), builtIn[i]);
        EXPECT_EQ(iconOf(std::string(builtIn[i])), number);
        EXPECT_TRUE(ClassIconSet::IsGuidText(builtIn[i])) << builtIn[i];
        EXPECT_TRUE(seen.insert(builtIn[i]).second) << builtIn[i];
        if (i < ClassTable().size()) {
            EXPECT_EQ(builtIn[i], ClassTable()[i].guid);
        }
    }
    EXPECT_EQ(icons.GuidOfIconNumber(static_cast<int16_t>(320 + builtIn.size())), "");
    EXPECT_EQ(icons.GuidOfIconNumber(0), "");
}

}  // namespace
}  // namespace vornel
