#include "support/error_log.h"

#include <glob.h>

#include <ctime>
#include <fstream>
#include <mutex>
#include <new>
#include <system_error>

#include "support/last_error.h"
#include "support/vlx_error.h"

namespace vornel {

namespace fs = std::filesystem;

Logger& Logger::Instance() {
    static Logger logger;
    return logger;
}

fs::path Logger::DefaultFile() const {
    if (folder_.empty()) return {};
    return folder_ / kDefaultFileName;
}

std::string NowDateTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M:%S", &tm);
    return buf;
}

namespace {
thread_local std::vector<std::string>* t_capture = nullptr;
// Writes from different threads append whole records, never interleaved lines.
std::mutex g_writeLock;
}  // namespace

LogCapture::LogCapture(std::vector<std::string>& into) : previous_(t_capture) { t_capture = &into; }
LogCapture::~LogCapture() { t_capture = previous_; }

void LogCapture::Replay(const std::vector<std::string>& records) {
    for (const std::string& r : records) Logger::Instance().WriteLog(r, false, {});
}

void Logger::WriteLog(const std::string& message, bool startAfresh, const std::string& fileName) {
    if (t_capture && !startAfresh && fileName.empty()) {
        try {
            t_capture->push_back(message);
        } catch (...) {
        }
        return;
    }
    const std::lock_guard<std::mutex> lock(g_writeLock);
    try {
        fs::path file = fileName.empty() ? DefaultFile() : fs::path(fileName);
        if (file.empty()) return;
        if (startAfresh && FileExists(file.string())) {
            std::error_code ec;
            fs::remove(file, ec);
        }
        const bool isNew = !FileExists(file.string());
        std::ofstream out(file, std::ios::binary | std::ios::app);
        if (!out) return;
        std::string text;
        if (isNew) {
            text += "VER=" + std::to_string(VORNEL_VERSION_MAJOR) + "." +
                    std::to_string(VORNEL_VERSION_MINOR) + "." +
                    std::to_string(VORNEL_VERSION_PATCH) + "\r\n";
            text += NowDateTimeText() + "\r\n\r\n";
        }
        size_t start = 0;
        for (;;) {
            size_t bar = message.find('|', start);
            text.append(message, start, bar == std::string::npos ? std::string::npos : bar - start);
            text += "\r\n";
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        text += "\r\n";
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    } catch (...) {
        // The log is the last resort: a failure here loses the record.
    }
}

bool Logger::FileExists(const std::string& path) {
    if (path.find("*.") != std::string::npos) {
        glob_t g{};
        const int rc = ::glob(path.c_str(), 0, nullptr, &g);
        const bool found = rc == 0 && g.gl_pathc > 0;
        globfree(&g);
        return found;
    }
    std::error_code ec;
    (void)fs::file_size(path, ec);
    return !ec;
}

std::string Logger::NormalizeTrailingSeparator(const std::string& path, const std::string& sep,
                                               bool add, bool leading) {
    if (path.empty()) return {};
    std::string r = path;
    if (sep.empty()) return r;
    auto endsWith = [&] { return r.size() >= sep.size() && r.compare(r.size() - sep.size(), sep.size(), sep) == 0; };
    auto startsWith = [&] { return r.compare(0, sep.size(), sep) == 0; };
    if (add) {
        if (!endsWith()) r += sep;
        if (leading && !startsWith()) r = sep + r;
    } else {
        while (!r.empty() && endsWith()) r.erase(r.size() - sep.size());
        if (leading)
            while (!r.empty() && startsWith()) r.erase(0, sep.size());
    }
    return r;
}

std::pair<int32_t, std::string> CurrentFailure() {
    try {
        throw;
    } catch (const VlxError& e) {
        return {e.number, e.description};
    } catch (const std::bad_alloc&) {
        return {7, "Out of memory"};
    } catch (const std::system_error& e) {
        return {5, e.what()};
    } catch (const std::exception& e) {
        return {5, std::string("Invalid procedure call or argument: ") + e.what()};
    } catch (...) {
        return {5, "Invalid procedure call or argument"};
    }
}

int32_t ReportError(const std::string& module, const std::string& routine, int32_t number,
                    const std::string& description, const std::string& additional) {
    try {
        const uint32_t last = GetLastErrorCode();
        std::string rec;
        rec += "Module: " + module;
        rec += "|Routine: " + routine;
        rec += "|Err.Number: " + std::to_string(number);
        rec += "|Err.Description: " + description;
        rec += "|Err.LastDllError: " + std::to_string(static_cast<int32_t>(last));
        rec += "|Err.LastDllErrorMessage: " + SystemErrorText(last);
        rec += "|sExtendedMess$: ";
        rec += "|sAdditionalErrMessage$: " + additional;
        Logger::Instance().WriteLog(rec, false, {});
    } catch (...) {
    }
    return number;
}

int32_t ReportError(const std::string& module, const std::string& routine,
                    const std::string& additional) {
    int32_t number = 0;
    std::string description;
    if (std::current_exception()) {
        auto f = CurrentFailure();
        number = f.first;
        description = std::move(f.second);
    }
    return ReportError(module, routine, number, description, additional);
}

}  // namespace vornel
