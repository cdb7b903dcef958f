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
    stopping_.store(true, std::memory_order_seq_cst);
    WakeStage();
    thread_.join();
}

void FileStage::Submit(FileJob& job) {
    for (int i = 0; i < kSpins; ++i) {
        if (TrySubmit(job)) return;
        Pause();
    }
    // The stage is far behind (a long job, or one waiting for the folders' listings): this
    // thread sleeps until half the ring is free, rather than spin on a processor another
    // thread of the scan could use, and wakes once for many jobs rather than for each.
    SleepUntilTaken(submitted_.load(std::memory_order_relaxed) - kRing / 2);
    while (!TrySubmit(job)) Pause();  // half the ring is free: taken at once
}

bool FileStage::TrySubmit(FileJob& job) {
    const size_t at = submitted_.load(std::memory_order_relaxed);
    if (at - taken_.load(std::memory_order_acquire) >= kRing) return false;
    job.seq_ = at;
    // A job may be handed over again (a scan's own jobs, scan after scan): it starts afresh.
    job.done_.store(false, std::memory_order_relaxed);
    job.log_.clear();
    ring_[at % kRing] = &job;
    submitted_.store(at + 1, std::memory_order_seq_cst);
    // Paired with the stage's store to sleeping_ before it looks at submitted_ again: one
    // of the two threads sees the other's write, so a job is never left waiting.
    if (sleeping_.load(std::memory_order_seq_cst)) WakeStage();
    return true;
}

void FileStage::WakeStage() {
    wake_.fetch_add(1, std::memory_order_seq_cst);
    wake_.notify_one();
}

void FileStage::Wait(FileJob& job) {
    for (int i = 0; i < kSpins; ++i) {
        if (job.Done()) return;
        Pause();
    }
    SleepUntilTaken(job.seq_);
}

void FileStage::SleepUntilTaken(size_t seq) {
    // Asleep on the count of jobs run, not on a job: the stage never touches a job once it
    // is marked done, since its owner may then destroy it. The stage wakes this thread
    // only for the job awaited, not for every job before it.
    awaited_.store(seq + 1, std::memory_order_seq_cst);
    for (;;) {
        const size_t taken = taken_.load(std::memory_order_seq_cst);
        if (taken > seq) break;
        taken_.wait(taken, std::memory_order_seq_cst);
    }
    awaited_.store(0, std::memory_order_relaxed);
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
    size_t next = 0;
    for (;;) {
        size_t end = submitted_.load(std::memory_order_acquire);
        for (int i = 0; i < kSpins && end == next; ++i) {
            Pause();
            end = submitted_.load(std::memory_order_acquire);
        }
        if (end == next) {
            // The wake count is read before the counter and the stop flag: a wake given
            // after that read changes it, so the wait below cannot miss it.
            sleeping_.store(true, std::memory_order_seq_cst);
            unsigned seen = wake_.load(std::memory_order_seq_cst);
            end = submitted_.load(std::memory_order_seq_cst);
            while (end == next && !stopping_.load(std::memory_order_seq_cst)) {
                wake_.wait(seen, std::memory_order_seq_cst);
                seen = wake_.load(std::memory_order_seq_cst);
                end = submitted_.load(std::memory_order_seq_cst);
            }
            sleeping_.store(false, std::memory_order_relaxed);
            if (end == next) return;  // stopping, and nothing left
        }
        for (; next != end; ++next) {
            FileJob& job = *ring_[next % kRing];
            RunCaptured(job);
            job.done_.store(true, std::memory_order_release);
            taken_.store(next + 1, std::memory_order_seq_cst);
            // Paired with Wait's store to awaited_ before it reads taken_: either it sees
            // this job taken, or this sees it waiting.
            const size_t awaited = awaited_.load(std::memory_order_seq_cst);
            if (awaited != 0 && awaited <= next + 1) taken_.notify_one();
        }
    }
}

}  // namespace vornel
