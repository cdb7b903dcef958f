#pragma once
// The pending failure of a procedure and the guard that turns it into a log record.
//
// A procedure raises VlxError (or lets any std::exception escape its body); its guard
// catches it, writes the error record through ReportError and returns the procedure's
// failure value. Nothing escapes a guarded procedure.
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace vornel {

// Numbers the program raises itself: 0x80040000 plus a small number.
constexpr int32_t kVlxErrorBase = static_cast<int32_t>(0x80040000u);

struct VlxError : std::exception {
    int32_t number = 0;
    std::string description;

    VlxError(int32_t n, std::string d) : number(n), description(std::move(d)) {}
    const char* what() const noexcept override { return description.c_str(); }
};

// Writes the error record of the failure currently being handled (inside a catch block,
// or with an explicit number and description) and returns the failure's number.
int32_t ReportError(const std::string& module, const std::string& routine,
                    const std::string& additional = {});
int32_t ReportError(const std::string& module, const std::string& routine, int32_t number,
                    const std::string& description, const std::string& additional = {});

// Maps the exception in flight to the failure's number and description.
std::pair<int32_t, std::string> CurrentFailure();

// Runs body; on any failure reports it under module/routine and returns failValue.
template <class R, class F>
R Guarded(const char* module, const char* routine, R failValue, F&& body) {
    try {
        return body();
    } catch (...) {
        ReportError(module, routine);
        return failValue;
    }
}

// The same for procedures without a result: returns false when the body failed.
template <class F>
bool GuardedRun(const char* module, const char* routine, F&& body) {
    try {
        body();
        return true;
    } catch (...) {
        ReportError(module, routine);
        return false;
    }
}

}  // namespace vornel
