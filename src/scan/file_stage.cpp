#include "scan/file_stage.h"

#include "platform/heap_tuning.h"
#include "support/error_log.h"

namespace vornel {

namespace {
// Waking a sleeping thread costs more than many jobs here, so a waiter first looks again
// this many times before it sleeps.
constexpr int kSpins = 2000;

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}
}  // namespace

FileStage::FileStage()
    : thread_([this] {
          platform::TuneThreadHeap();
          Loop();
      }) {}

FileStage::~FileStage() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    workReady_.notify_one();
    thread_.join();
}

void FileStage::Submit(FileJob& job) {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(&job);
        queued_.store(queue_.size(), std::memory_order_relaxed);
        wake = idle_;
        idle_ = false;
    }
    if (wake) workReady_.notify_one();
}

void FileStage::Wait(FileJob& job) {
    for (int i = 0; i < kSpins; ++i) {
        if (job.Done()) return;
        Pause();
    }
    std::unique_lock<std::mutex> hold(lock_);
    waiting_ = true;
    jobDone_.wait(hold, [&] { return job.Done(); });
    waiting_ = false;
}

void FileStage::RunCaptured(FileJob& job) {
    const LogCapture capture(job.log_);
    try {
        job.Run();
    } catch (...) {
        // Run reports its own failures; nothing may leave the stage.
    }
}

void FileStage::RunHere(FileJob& job) {
    RunCaptured(job);
    job.done_.store(true, std::memory_order_release);
}

void FileStage::Loop() {
    for (;;) {
        FileJob* job = nullptr;
        for (int i = 0; i < kSpins && queued_.load(std::memory_order_relaxed) == 0; ++i) Pause();
        {
            std::unique_lock<std::mutex> hold(lock_);
            if (queue_.empty()) {
                idle_ = true;
                workReady_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                idle_ = false;
            }
            if (queue_.empty()) return;  // stopping, and nothing left
            job = queue_.front();
            queue_.pop_front();
            queued_.store(queue_.size(), std::memory_order_relaxed);
        }
        RunCaptured(*job);
        bool wake = false;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            job->done_.store(true, std::memory_order_release);
            wake = waiting_;
        }
        if (wake) jobDone_.notify_one();
    }
}

}  // namespace vornel
