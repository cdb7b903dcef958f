#pragma once
// A thread that runs the file work of a scan (INF reading, the install-file search, file
// versions and dates) while the scan's own thread reads the registry for the devices that
// follow. Jobs run one at a time in the order given; everything a job touches belongs to
// the stage until the job is done, so the two threads share no caches and need no locks
// beyond the hand-over itself.
//
// One thread hands jobs over and waits for them, the stage's thread runs them: the
// hand-over is a ring of the two threads' counters, and a thread sleeps only when it has
// nothing to do, so a busy scan makes no system call to pass a job.
#include <array>
#include <atomic>
#include <cstddef>
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
    size_t seq_ = 0;  // its place in the order of hand-over
    std::vector<std::string> log_;
};

class FileStage {
public:
    FileStage();
    // Runs what was handed over, then stops the thread.
    ~FileStage();
    FileStage(const FileStage&) = delete;
    FileStage& operator=(const FileStage&) = delete;

    // The job must live until Wait has returned for it. Only one thread may submit and
    // wait. With the ring full it waits for a free place, asleep if that takes long. A job run before may be handed
    // over again once it is done: it starts not done and with an empty log.
    void Submit(FileJob& job);
    // The same without waiting: false, and the job not taken, while the ring is full.
    bool TrySubmit(FileJob& job);
    // Until the job has run; afterwards its results may be read on this thread.
    void Wait(FileJob& job);
    // Jobs handed over and not yet begun; meant for the stage's own thread, as a measure of
    // how far it is behind.
    size_t Backlog() const {
        return submitted_.load(std::memory_order_relaxed) - taken_.load(std::memory_order_relaxed) - 1;
    }
    // Runs the job on the calling thread, as the stage would.
    static void RunHere(FileJob& job);

private:
    // As many jobs as a scan keeps in flight (DeviceScan::kInFlight).
    static constexpr size_t kRing = 4096;
    static void RunCaptured(FileJob& job);
    void WakeStage();
    // Sleeps until the job handed over as the seq-th has been run.
    void SleepUntilTaken(size_t seq);
    void Loop();

    std::array<FileJob*, kRing> ring_{};
    std::atomic<size_t> submitted_{0};  // written by the submitting thread only
    std::atomic<size_t> taken_{0};      // jobs run; written by the stage's thread only
    std::atomic<size_t> awaited_{0};    // 1 + seq_ of the job the submitter sleeps for; 0 none
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned> wake_{0};  // changed, then notified, to wake a sleeping stage
    std::thread thread_;
};

}  // namespace vornel
