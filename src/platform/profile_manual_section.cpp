#include "platform/profile_manual_section.h"

#include <cstring>

namespace vornel::platform {

ManualSectionStatus ReadSectionManually(const ProfileFile& file, std::string_view section,
                                        std::string& out, size_t& count) {
    out.clear();
    count = 0;
    const std::string_view text = file.Text();
    if (text.empty()) return ManualSectionStatus::EmptyText;
    const size_t s = file.FindSection(section);
    if (s == ProfileFile::npos) return ManualSectionStatus::NoSection;

    const size_t begin = file.BodyBegin(s);
    if (begin >= text.size()) return ManualSectionStatus::Ok;
    const void* bracket = std::memchr(text.data() + begin, '[', text.size() - begin);
    const size_t end =
        bracket ? static_cast<size_t>(static_cast<const char*>(bracket) - text.data())
                : text.size();

    std::string body;
    body.reserve(end - begin + 2);
    size_t pos = begin;
    const std::string_view region = text.substr(0, end);
    while (pos < end) {
        size_t next = 0;
        const size_t lineEnd = ProfileLineEnd(region, pos, next);
        body.append(region.substr(pos, lineEnd - pos));
        if (lineEnd < end) body.push_back('\0');
        pos = next;
    }
    if (body.size() >= 2 && body[body.size() - 1] == '\0' && body[body.size() - 2] == '\0')
        body.resize(body.size() - 2);
    else if (!body.empty() && body.back() == '\0')
        body.pop_back();
    count = body.size();
    out = std::move(body);
    out.append(2, '\0');
    return ManualSectionStatus::Ok;
}

}  // namespace vornel::platform
