#pragma once
// A thread that runs the file work of a scan (INF reading, the install-file search, file
// versions and dates) while the scan's own thread reads the registry for the devices that
// follow. Jobs run one at a time in the order given; everything a job touches belongs to
// the stage until the job is done, so the two threads share no caches and need no locks
// beyond the hand-over itself.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vornel {

class FileJob {
public:
    virtual ~FileJob() = default;
    // Runs on the stage's thread. What it writes to the default log is kept in Log().
    virtual void Run() = 0;

    bool Done() const { return done_.load(std::memory_order_acquire); }
    const std::vector<std::string>& Log() const { return log_; }

private:
    friend class FileStage;
    std::atomic<bool> done_{false};
    std::vector<std::string> log_;
};

class FileStage {
public:
    FileStage();
    // Runs what was handed over, then stops the thread.
    ~FileStage();
    FileStage(const FileStage&) = delete;
    FileStage& operator=(const FileStage&) = delete;

    // The job must live until Wait has returned for it.
    void Submit(FileJob& job);
    // Until the job has run; afterwards its results may be read on this thread.
    void Wait(FileJob& job);
    // Runs the job on the calling thread, as the stage would.
    static void RunHere(FileJob& job);

private:
    static void RunCaptured(FileJob& job);
    void Loop();

    std::mutex lock_;
    std::condition_variable workReady_, jobDone_;
    std::deque<FileJob*> queue_;
    std::atomic<size_t> queued_{0};  // queue_.size(), for looking without the lock
    bool stopping_ = false;
    bool idle_ = false;     // the stage waits for work
    bool waiting_ = false;  // the scan's thread waits for a job
    std::thread thread_;
};

}  // namespace vornel
