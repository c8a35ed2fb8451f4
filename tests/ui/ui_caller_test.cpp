// The hand-over of requests to the user-interface thread, with its active
// waits on, off and long, and with no serving stretch: every request runs
// there, in order, and its effect is visible to the caller when the call
// returns; exceptions come back; a request that runs an event loop of its
// own lets other threads' requests through; the event loop keeps running
// while requests never stop coming; and active waits stop when requests
// come slowly.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ui/ui_caller.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using namespace std::chrono_literals;

struct TimingCase {
    const char* name;
    HandOverTiming timing;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
    *os << c.name;
}

class UiCallerTimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(UiCallerTimingTest, RequestsRunInOrderOnTheUiThreadAndAreDoneOnReturn) {
    QObject owner;
    UiCaller caller(&owner, GetParam().timing);
    const std::thread::id uiThread = std::this_thread::get_id();
    constexpr int kRequests = 3000;
    constexpr int kWorkers = 2;
    // Touched on the user-interface thread only, read by each worker after
    // its call returns.
    std::vector<int> seen[kWorkers];
    int lastOf[kWorkers] = {-1, -1};
    std::atomic<int> wrongThread{0};
    std::atomic<int> notDone{0};
    std::atomic<int> errorsBack{0};
    std::atomic<int> finished{0};

    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kRequests; ++i) {
                try {
                    caller.Call([&, w, i] {
                        if (std::this_thread::get_id() != uiThread) {
                            ++wrongThread;
                        }
                        seen[w].push_back(i);
                        lastOf[w] = i;
                        // An exception must neither stop the requests
                        // behind it nor be lost.
                        if (i % 97 == 0) {
                            throw std::runtime_error(std::to_string(i));
                        }
                    });
                } catch (const std::runtime_error& e) {
                    errorsBack += std::stoi(e.what()) == i ? 1 : 0;
                }
                if (lastOf[w] != i) {
                    ++notDone;
                }
            }
            ++finished;
        });
    }
    ASSERT_TRUE(testing::PumpUntil([&] { return finished.load() == kWorkers; }));
    for (std::thread& t : workers) {
        t.join();
    }

    EXPECT_EQ(wrongThread.load(), 0);
    EXPECT_EQ(notDone.load(), 0);
    EXPECT_EQ(errorsBack.load(), kWorkers * (1 + (kRequests - 1) / 97));
    for (const std::vector<int>& s : seen) {
        ASSERT_EQ(s.size(), std::size_t{kRequests});
        for (int i = 0; i < kRequests; ++i) {
            ASSERT_EQ(s[static_cast<std::size_t>(i)], i);
        }
    }
    EXPECT_EQ(caller.Crossings(), std::size_t{kWorkers * kRequests});
    EXPECT_EQ(caller.Pending(), 0u);
    EXPECT_GE(caller.Wakeups(), 1u);
    EXPECT_LE(caller.Wakeups(), caller.Crossings());
}

// A request that runs an event loop of its own, as a message box does,
// while another thread's request waits: that one must run inside it, or
// the two would wait for each other for ever.  The other thread calls only
// once the box is open, so its request finds the box's still running.
TEST_P(UiCallerTimingTest, ARequestRunningItsOwnEventLoopLetsOthersThrough) {
    QObject owner;
    UiCaller caller(&owner, GetParam().timing);
    std::atomic<bool> boxOpen{false};
    bool otherRan = false;  // user-interface thread only
    bool otherRanInside = false;
    std::atomic<int> finished{0};

    std::thread box([&] {
        // A request just before it, so the box's may come while the
        // user-interface thread is still serving.
        caller.Call([] {});
        caller.Call([&] {
            boxOpen = true;
            QEventLoop loop;
            QTimer check;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            QObject::connect(&check, &QTimer::timeout, [&] {
                if (otherRan || std::chrono::steady_clock::now() > giveUp) {
                    loop.quit();
                }
            });
            check.start(1);
            loop.exec();
            otherRanInside = otherRan;
        });
        ++finished;
    });
    std::thread other([&] {
        while (!boxOpen.load()) {
            std::this_thread::yield();
        }
        caller.Call([&] { otherRan = true; });
        ++finished;
    });
    ASSERT_TRUE(testing::PumpUntil([&] { return finished.load() == 2; }));
    box.join();
    other.join();
    EXPECT_TRUE(otherRanInside);
}

// Timers, drawing and input still get their turn while requests never stop
// coming: each request, on the user-interface thread, holds on until the
// other worker's next one is waiting. The workers stop only once a timer on
// the user-interface thread has fired a few times.
TEST_P(UiCallerTimingTest, TheEventLoopRunsWhileRequestsKeepWaiting) {
    QObject owner;
    UiCaller caller(&owner, GetParam().timing);
    std::atomic<int> ticks{0};
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    // The timer starts with the requests, so every tick is one the event
    // loop made while they kept coming.
    std::once_flag started;
    constexpr int kWorkers = 2;
    std::atomic<int> finished{0};
    std::atomic<long> calls{0};
    const auto request = [&] {
        std::call_once(started, [&] { timer.start(0); });
        const auto giveUp = std::chrono::steady_clock::now() + 5s;
        while (caller.Pending() == 0 && finished.load() == 0 &&
               std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::yield();
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            const auto giveUp = std::chrono::steady_clock::now() + 20s;
            while (ticks.load() < 5 && std::chrono::steady_clock::now() < giveUp) {
                caller.Call(request);
                ++calls;
            }
            ++finished;
        });
    }
    ASSERT_TRUE(testing::PumpUntil([&] { return finished.load() == kWorkers; }));
    for (std::thread& t : workers) {
        t.join();
    }
    EXPECT_GE(ticks.load(), 5) << calls.load() << " calls";
}

// A worker whose requests come far apart, as a real device's do: the
// user-interface thread soon stops waiting actively for them, instead of
// spinning after every one.
TEST(UiCallerTest, ActiveWaitsStopWhenRequestsComeSlowly) {
    QObject owner;
    UiCaller caller(&owner);
    constexpr int kRequests = 60;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < kRequests; ++i) {
            caller.Call([] {});
            std::this_thread::sleep_for(3ms);
        }
        finished = true;
    });
    ASSERT_TRUE(testing::PumpUntil([&] { return finished.load(); }));
    worker.join();
    // Without the backoff, every request would end in one.
    EXPECT_LE(caller.FruitlessWaits(), 8u);
    EXPECT_GE(caller.Wakeups(), kRequests / 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Timings, UiCallerTimingTest,
    ::testing::Values(
        TimingCase{"ActiveWaits", HandOverTiming{}},
        TimingCase{"Blocking", HandOverTiming{.answer = 0us, .next = 0us, .rejoin = 0us}},
        // Back to the event loop after every request.
        TimingCase{"NoStretch", HandOverTiming{.stretch = 0us}},
        // Active waits far longer than any request takes.
        TimingCase{"LongWaits", HandOverTiming{.answer = 20ms, .next = 20ms, .rejoin = 20ms}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sovra::ui
