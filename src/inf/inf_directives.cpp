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

}  // namespace

std::string_view RestOfLine(std::string_view text, size_t equals) {
    size_t next = 0;
    const size_t end = platform::ProfileLineEnd(text, equals + 1, next);
    return text.substr(equals + 1, end - equals - 1);
}

namespace {

// Looks at the key before one '=', whose last character (blanks skipped) is an 'e' or an 'h'.
void CheckKey(std::string_view text, size_t eq, size_t k, InfDirectives& found, size_t& includeLineEnd) {
    const char last = static_cast<char>(text[k - 1] | 0x20);
    if (last == 'e' && eq >= includeLineEnd && EndsWithWord(text, k, kInclude)) {
        found.includes.push_back(eq);
        size_t next = 0;
        platform::ProfileLineEnd(text, eq + 1, next);
        includeLineEnd = next;
    } else if (last == 'h' && found.coreFilePath == InfDirectives::npos && EndsWithWord(text, k, kCoreFilePath)) {
        found.coreFilePath = eq;
    }
}

}  // namespace

InfDirectives FindInfDirectives(std::string_view text) {
    InfDirectives found;
    // An Include directive takes the rest of its line: another "Include=" there is part of
    // its names. A CoreFilePath there still counts.
    size_t includeLineEnd = 0;
    // Every '=' is looked at, but most keys end in another letter, and that is told here
    // with a byte or two before the call.
    auto at = [&](size_t eq) {
        size_t k = eq;
        while (k > 0 && IsBlank(text[k - 1])) --k;
        if (k == 0) return;
        const char last = static_cast<char>(text[k - 1] | 0x20);
        if (last == 'e' || last == 'h') CheckKey(text, eq, k, found, includeLineEnd);
    };
    size_t i = 0;
#if defined(__SSE2__)
    // An INF has an '=' every few dozen bytes: sixteen bytes are tested at a time, and of
    // the '='s only those behind an 'e', an 'h' or a blank are looked at, taken from the
    // mask rather than by a new search. (An '=' that opens the text has no key at all.)
    const __m128i equals = _mm_set1_epi8('='), e = _mm_set1_epi8('e'), h = _mm_set1_epi8('h'),
                  space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lower = _mm_set1_epi8(0x20);
    for (i = 1; i + 16 <= text.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i eq = _mm_cmpeq_epi8(v, equals);
        if (_mm_movemask_epi8(eq) == 0) continue;
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i - 1));
        const __m128i folded = _mm_or_si128(before, lower);
        const __m128i keyEnd = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, e), _mm_cmpeq_epi8(folded, h)),
                                            _mm_or_si128(_mm_cmpeq_epi8(before, space), _mm_cmpeq_epi8(before, tab)));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(eq, keyEnd))); mask != 0;
             mask &= mask - 1)
            at(i + static_cast<size_t>(__builtin_ctz(mask)));
    }
#endif
    for (; i < text.size(); ++i)
        if (text[i] == '=') at(i);
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
