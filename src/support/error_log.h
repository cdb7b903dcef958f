#pragma once
// The run's log ("vn_log.txt" in the private temporary folder) and the translators of
// numeric codes into texts.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vornel {

class Logger {
public:
    static constexpr const char* kDefaultFileName = "vn_log.txt";

    // The process-wide log writer.
    static Logger& Instance();

    // The folder of the default log; empty until set (then every default write is lost).
    void SetDefaultFolder(const std::filesystem::path& folder) { folder_ = folder; }
    const std::filesystem::path& DefaultFolder() const { return folder_; }
    std::filesystem::path DefaultFile() const;

    // Appends message, split at "|" into lines, then an empty line. A new file first gets
    // the "VER=" line, the date-time line and an empty line. startAfresh deletes an
    // existing file first. An empty fileName means the default log. Never throws.
    void WriteLog(const std::string& message, bool startAfresh = false,
                  const std::string& fileName = {});

    // A path containing "*." is a pattern (true when it matches an entry); otherwise true
    // when the file's size can be read.
    static bool FileExists(const std::string& path);

    // With add: appends sep unless path already ends with it. Without: strips every
    // trailing sep. With leading as well, the same rule applies to the start of the path.
    static std::string NormalizeTrailingSeparator(const std::string& path, const std::string& sep,
                                                  bool add, bool leading = false);

private:
    std::filesystem::path folder_;
};

// While one lives, default-log records written by its thread are kept in `into` instead of
// written, so that work done on another thread can be logged later in the order a
// single-threaded run would have written it (Replay). Captures nest.
class LogCapture {
public:
    explicit LogCapture(std::vector<std::string>& into);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Writes captured records to the default log, in order.
    static void Replay(const std::vector<std::string>& records);

private:
    std::vector<std::string>* previous_;
};

// The system message of a Windows error code, as FormatMessage gives it (ending in CR LF),
// or "" for a code without a message.
std::string SystemErrorText(uint32_t code);

// The fixed texts of the ShellExecute result codes below 32.
std::string ShellExecuteErrorText(int32_t code);

// Local date and time in the program's form "MM/DD/YYYY hh:mm:ss".
std::string NowDateTimeText();

}  // namespace vornel
