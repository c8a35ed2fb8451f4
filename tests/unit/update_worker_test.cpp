// The update on its own thread, against a view whose changes are carried
// out on another ("user-interface") thread, as a window's are.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <system_error>
#include <vector>

#include "app/event_log.h"
#include "flash/sample_image.h"
#include "flash/update_sequence.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/log_receiver.h"
#include "tests/support/recording_view.h"
#include "tests/support/ui_thread_view.h"

namespace sovra {
namespace {

// Table rows print as their names in test listings.
template <typename Row>
requires requires(const Row& r) {
    r.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

using testing::Entry;
using testing::LogEntry;
using testing::LogReceiver;
using testing::RecordingView;
using testing::UiThreadView;
using testing::ViewCall;

struct Device {
    Device(sim::FaultPlan faults = {})
        : firmware(MakeSampleImage({})),
          model(std::make_shared<sim::BeamformerModel>(MakeSampleFlash({.seed = 3}), faults)),
          channel(std::make_shared<sim::InProcessChannel>(model)) {}
    std::vector<std::uint8_t> firmware;
    std::shared_ptr<sim::BeamformerModel> model;
    std::shared_ptr<sim::InProcessChannel> channel;
};

std::vector<LogEntry> Texts(RecordingView& view) {
    std::vector<LogEntry> out;
    for (const auto& c : view.CallsOf(ViewCall::kLogEntry)) {
        out.push_back({c.a, c.text});
    }
    return out;
}

struct WorkerCase {
    const char* name;
    sim::FaultPlan faults;
    bool succeeds;
};

class UpdateWorkerTest : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(UpdateWorkerTest, EveryChangeIsMadeOnTheUiThreadAndCloseComesLast) {
    LogReceiver log;
    Device device(GetParam().faults);
    UpdateContext context(device.channel, device.firmware);
    RecordingView window;
    window.InterleaveLog(&log);
    {
        UiThreadView view(window);
        UpdateWorker worker;
        ASSERT_TRUE(worker.Start(view, context));
        worker.Join();
        EXPECT_EQ(window.CallingThread(), view.UiThread());
        EXPECT_GT(view.Hops(), 100);
    }
    EXPECT_TRUE(window.CalledFromOneThread());
    EXPECT_FALSE(window.CalledAfterClose());
    ASSERT_FALSE(window.Calls().empty());
    EXPECT_EQ(window.Calls().back().what, ViewCall::kEnableClose);
    EXPECT_EQ(Succeeded(context.result.status), GetParam().succeeds);

    const auto entries = Texts(window);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.front(), Entry(kEventUpdateStarted));
    EXPECT_EQ(entries.back(),
              Entry(GetParam().succeeds ? kEventFirmwareUpdated : kEventUpdateFailed));
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateWorkerTest,
                         ::testing::Values(WorkerCase{"Succeeds", {}, true},
                                           WorkerCase{"DeviceGoesAway", {.unplugAt = 4110}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateWorkerTest, NoThreadMeansTheFailureIsShownAndCloseEnabled) {
    LogReceiver log;
    Device device;
    UpdateContext context(device.channel, device.firmware);
    RecordingView view;
    view.InterleaveLog(&log);
    UpdateWorker worker;
    const auto noThread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_FALSE(worker.Start(view, context, noThread));
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(context.result.status, E_WORKER_START);
    EXPECT_TRUE(device.channel->Requests().empty());
    EXPECT_EQ(Texts(view),
              (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventUpdateFailed)}));
    const auto colours = view.CallsOf(ViewCall::kTextColour);
    ASSERT_EQ(colours.size(), 1u);
    EXPECT_EQ(static_cast<Colour>(colours[0].a), kFailureColour);
    EXPECT_EQ(view.CallsOf(ViewCall::kMessageText).at(0).text, kUpdateFailedText);
    EXPECT_EQ(view.Calls().back().what, ViewCall::kEnableClose);
}

}  // namespace
}  // namespace sovra
