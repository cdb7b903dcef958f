#include "scan/file_stage.h"

#include "support/error_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vornel::test {
namespace {

// Notes its place in the order the stage ran it; every tenth job takes a little longer,
// so the submitting thread both finds jobs done and has to wait for them.
class OrderJob final : public FileJob {
public:
    OrderJob(std::vector<int>& order, int id) : order_(order), id_(id) {}
    void Run() override {
        if (id_ % 10 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
        order_.push_back(id_);
    }

private:
    std::vector<int>& order_;
    int id_;
};

TEST(FileStage, RunsEveryJobOnceInOrderWhateverTheBacklog) {
    // More jobs in flight than the hand-over ring holds, waited for in order and in
    // batches, as a scan does; then a pause long enough for the stage to fall asleep.
    std::vector<int> order;
    std::vector<std::unique_ptr<OrderJob>> jobs;
    FileStage stage;
    int waited = 0;
    for (int i = 0; i < 1200; ++i) {
        jobs.push_back(std::make_unique<OrderJob>(order, i));
        stage.Submit(*jobs.back());
        if (i % 300 == 299) {
            stage.Wait(*jobs[static_cast<size_t>(i - 100)]);
            for (; waited <= i - 100; ++waited) EXPECT_TRUE(jobs[static_cast<size_t>(waited)]->Done());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    stage.Wait(*jobs.back());
    ASSERT_EQ(order.size(), jobs.size());
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], static_cast<int>(i));
}

TEST(FileStage, StoppingRunsWhatWasHandedOver) {
    std::vector<int> order;
    std::vector<std::unique_ptr<OrderJob>> jobs;
    {
        FileStage stage;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // asleep before the first job
        for (int i = 0; i < 40; ++i) {
            jobs.push_back(std::make_unique<OrderJob>(order, i));
            stage.Submit(*jobs.back());
        }
    }
    EXPECT_EQ(order.size(), 40u);
    for (const auto& job : jobs) EXPECT_TRUE(job->Done());
    FileStage idle;  // a stage given nothing stops too
}

// Holds the stage until released.
class GateJob final : public FileJob {
public:
    void Run() override {
        while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> open{false};
};

TEST(FileStage, AJobRefusedByAFullRingIsNeitherTakenNorLost) {
    std::vector<int> order;
    std::vector<std::unique_ptr<OrderJob>> jobs;
    GateJob gate;
    FileStage stage;
    stage.Submit(gate);
    // With the stage held, the ring fills and then refuses.
    bool refused = false;
    for (int i = 0; i < 100000 && !refused; ++i) {
        jobs.push_back(std::make_unique<OrderJob>(order, i));
        refused = !stage.TrySubmit(*jobs.back());
    }
    gate.open = true;
    ASSERT_TRUE(refused);
    stage.Wait(*jobs[jobs.size() - 2]);
    EXPECT_FALSE(jobs.back()->Done());
    ASSERT_EQ(order.size(), jobs.size() - 1);
    // Handed over once there is room, it runs after the others.
    ASSERT_TRUE(stage.TrySubmit(*jobs.back()));
    stage.Wait(*jobs.back());
    ASSERT_EQ(order.size(), jobs.size());
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], static_cast<int>(i));
}

TEST(FileStage, ASubmitterHeldByAFullRingSleepsAndGoesOnWhenThereIsRoom) {
    std::vector<int> order;
    std::vector<std::unique_ptr<OrderJob>> jobs;
    for (int i = 0; i < 400; ++i) jobs.push_back(std::make_unique<OrderJob>(order, i));
    GateJob gate;
    FileStage stage;
    double cpuMs = 0;
    std::thread submitter([&] {
        timespec a{}, b{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        stage.Submit(gate);
        for (auto& job : jobs) stage.Submit(*job);  // the ring fills long before the end
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        cpuMs = static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
        stage.Wait(*jobs.back());
    });
    // Held this long, a spinning submitter would take about as much processor time.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    gate.open = true;
    submitter.join();
    EXPECT_LT(cpuMs, 100.0);
    ASSERT_EQ(order.size(), jobs.size());
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], static_cast<int>(i));
}

// A scan hands its own jobs over again on every scan: each time is waited for afresh and
// leaves only its own log records.
class LoggingJob final : public FileJob {
public:
    void Run() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++runs;
        Logger::Instance().WriteLog("run " + std::to_string(runs), false, {});
    }
    int runs = 0;
};

TEST(FileStage, AJobHandedOverAgainIsWaitedForAgain) {
    LoggingJob job;
    for (int scan = 1; scan <= 2; ++scan) {
        FileStage stage;
        stage.Submit(job);
        EXPECT_FALSE(job.Done());
        stage.Wait(job);
        EXPECT_EQ(job.runs, scan);
        EXPECT_EQ(job.Log(), std::vector<std::string>{"run " + std::to_string(scan)});
    }
}

}  // namespace
}  // namespace vornel::test
