#include "inf/inf_directives.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/profile_file.h"

namespace vornel::inf {

namespace {

constexpr std::string_view kInclude = "include";
constexpr std::string_view kCoreFilePath = "corefilepath";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// `word` (lower case) ends at `end` in text, ASCII case ignored.
bool EndsWithWord(std::string_view text, size_t end, std::string_view word) {
    if (end < word.size()) return false;
    const char* p = text.data() + end - word.size();
    for (size_t i = 0; i < word.size(); ++i)
        if ((p[i] | 0x20) != word[i]) return false;
    return true;
}

// Calls f, in order and while it returns true, with the position of every '=' that may end
// a directive: one right after an 'e', an 'h' (either case) or a blank. Other '=' signs, the
// bulk of an INF's, are passed over sixteen bytes at a time.
template <class F>
void ForEachCandidate(std::string_view text, F&& f) {
    auto candidate = [&](size_t at) {
        if (text[at] != '=' || at == 0) return false;
        const char before = static_cast<char>(text[at - 1] | 0x20);
        return before == 'e' || before == 'h' || IsBlank(text[at - 1]);
    };
    size_t at = 1;
#if defined(__SSE2__)
    const __m128i equals = _mm_set1_epi8('='), lowE = _mm_set1_epi8('e'), lowH = _mm_set1_epi8('h'),
                  space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), caseBit = _mm_set1_epi8(0x20);
    for (; at + 16 <= text.size(); at += 16) {
        const auto* p = reinterpret_cast<const __m128i*>(text.data() + at);
        const __m128i v = _mm_loadu_si128(p);
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at - 1));
        const __m128i folded = _mm_or_si128(before, caseBit);
        const __m128i keyEnd = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, lowE), _mm_cmpeq_epi8(folded, lowH)),
                                            _mm_or_si128(_mm_cmpeq_epi8(before, space), _mm_cmpeq_epi8(before, tab)));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v, equals), keyEnd)));
             mask != 0; mask &= mask - 1)
            if (!f(at + static_cast<size_t>(__builtin_ctz(mask)))) return;
    }
#endif
    for (; at < text.size(); ++at)
        if (candidate(at) && !f(at)) return;
}

}  // namespace

std::string_view RestOfLine(std::string_view text, size_t equals) {
    size_t next = 0;
    const size_t end = platform::ProfileLineEnd(text, equals + 1, next);
    return text.substr(equals + 1, end - equals - 1);
}

InfDirectives FindInfDirectives(std::string_view text) {
    InfDirectives found;
    // An Include directive takes the rest of its line: another "Include=" there is part of
    // its names. A CoreFilePath there still counts.
    size_t includeLineEnd = 0;
    ForEachCandidate(text, [&](size_t eq) {
        size_t k = eq;
        while (k > 0 && IsBlank(text[k - 1])) --k;
        if (k == 0) return true;
        const char last = static_cast<char>(text[k - 1] | 0x20);
        if (last == 'e' && eq >= includeLineEnd && EndsWithWord(text, k, kInclude)) {
            found.includes.push_back(eq);
            size_t next = 0;
            platform::ProfileLineEnd(text, eq + 1, next);
            includeLineEnd = next;
        } else if (last == 'h' && found.coreFilePath == InfDirectives::npos &&
                   EndsWithWord(text, k, kCoreFilePath)) {
            found.coreFilePath = eq;
        }
        return true;
    });
    return found;
}

const InfDirectives& InfDirectivesOf(const std::shared_ptr<const platform::ProfileFile>& file) {
    // Weakly held: a file dropped from the reader's cache is not kept alive here, and a new
    // file at its address is never taken for it.
    thread_local std::weak_ptr<const platform::ProfileFile> last;
    thread_local InfDirectives directives;
    const auto held = last.lock();
    if (!held || held != file) {
        directives = file ? FindInfDirectives(file->Text()) : InfDirectives{};
        last = file;
    }
    return directives;
}

}  // namespace vornel::inf
