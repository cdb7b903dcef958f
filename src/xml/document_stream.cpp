#include "xml/document_stream.h"

#include <algorithm>
#include <utility>

namespace vornel::xml {

bool DocumentStream::Start(const std::filesystem::path& target, std::string_view before, std::string after) {
    Stop();
    // The mode SaveDocument gives: a driver document is the user's own.
    if (!file_.Open(target, 0600)) return false;
    file_.Append(before);
    after_ = std::move(after);
    return true;
}

void DocumentStream::Write(const std::vector<std::string_view>& records) {
    if (!Active()) return;
    uint64_t at = file_.Size();
    for (const std::string_view record : records) {
        at_.push_back(at);
        at += record.size();
    }
    file_.Append(records);
}

void DocumentStream::Changed(size_t index) {
    if (index < at_.size()) changed_ = std::min(changed_, index);
}

size_t DocumentStream::FirstToFinish() const { return std::min(changed_, at_.size()); }

bool DocumentStream::Finish(const std::vector<std::string_view>& records, std::string* why) {
    if (!Active()) {
        if (why) *why = "nothing was streamed";
        return false;
    }
    const size_t from = FirstToFinish();
    if (from < at_.size()) file_.CutBack(at_[from]);
    file_.Append(records);
    file_.Append(after_);
    const bool done = file_.Commit(why);
    Stop();
    return done;
}

void DocumentStream::Stop() {
    file_.Abandon();
    after_.clear();
    at_.clear();
    changed_ = SIZE_MAX;
}

}  // namespace vornel::xml
