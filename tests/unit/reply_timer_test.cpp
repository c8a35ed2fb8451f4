// The timer that sends the answers virtual devices hold back: jobs run in
// the order of their due times (arrival order among equals), an earlier job
// given later is not kept waiting behind a later one, and stopping leaves no
// job unrun.

#include "sim/reply_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace sovra::sim {
namespace {

using namespace std::chrono_literals;
using Clock = ReplyTimer::Clock;

// A bound for a failing test, not a measurement.
constexpr auto kBound = 30s;

struct OrderCase {
    const char* name;
    std::vector<int> dueOffsetsMs;  // of each job, in the order given
    std::vector<int> expectedRun;   // indices of the jobs, in the order run
};

class ReplyTimerOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(ReplyTimerOrder, JobsRunByDueTimeThenByArrival) {
    const OrderCase& c = GetParam();
    ReplyTimer timer;
    std::mutex mu;
    std::vector<int> ran;
    // A first job keeps the thread busy until every job is given, so that
    // the order shows the queue's and not the race of giving them.
    std::promise<void> started;
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    timer.Schedule(Clock::now() - 1h, [&started, open] {
        started.set_value();
        open.wait();
    });
    ASSERT_EQ(started.get_future().wait_for(kBound), std::future_status::ready);
    // All due already: none waits for its time, the order is all there is.
    const auto base = Clock::now() - 1s;
    for (std::size_t i = 0; i < c.dueOffsetsMs.size(); ++i) {
        timer.Schedule(base + std::chrono::milliseconds(c.dueOffsetsMs[i]), [&, i] {
            std::lock_guard lock(mu);
            ran.push_back(static_cast<int>(i));
        });
    }
    std::promise<void> last;
    timer.Schedule(base + 500ms, [&] { last.set_value(); });
    gate.set_value();
    ASSERT_EQ(last.get_future().wait_for(kBound), std::future_status::ready);
    std::lock_guard lock(mu);
    EXPECT_EQ(ran, c.expectedRun);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyTimerOrder,
    testing::Values(OrderCase{"GivenInDueOrder", {0, 1, 2}, {0, 1, 2}},
                    OrderCase{"GivenInReverse", {30, 20, 10, 0}, {3, 2, 1, 0}},
                    OrderCase{"EqualDueTimesKeepArrival", {5, 5, 5, 5}, {0, 1, 2, 3}},
                    OrderCase{"Mixed", {7, 3, 7, 0, 3}, {3, 1, 4, 0, 2}}),
    [](const testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

TEST(ReplyTimerTest, AnEarlierJobGivenLaterIsNotHeldBehindALaterOne) {
    ReplyTimer timer;
    timer.Schedule(Clock::now() + 1h, [] {});
    std::promise<void> ran;
    timer.Schedule(Clock::now(), [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(timer.Waiting(), 1u);
}

TEST(ReplyTimerTest, StopRunsEveryWaitingJobAndLaterJobsRunAtOnce) {
    ReplyTimer timer;
    std::vector<int> ran;  // only the timer's thread writes it before Stop returns
    for (int i = 0; i < 3; ++i) {
        timer.Schedule(Clock::now() + 1h + std::chrono::seconds(3 - i),
                       [&ran, i] { ran.push_back(i); });
    }
    timer.Stop();
    EXPECT_EQ(ran, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(timer.Waiting(), 0u);

    std::thread::id where;
    timer.Schedule(Clock::now() + 1h, [&] { where = std::this_thread::get_id(); });
    EXPECT_EQ(where, std::this_thread::get_id());
    timer.Stop();  // a second stop changes nothing
}

}  // namespace
}  // namespace sovra::sim
