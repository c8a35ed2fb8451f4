// `sovra-flash watch` against in-process virtual beamformers on a bus the
// test plugs and unplugs: each known device updated once per plug-in,
// others ignored, a failure that stops nobody else, and a request to stop
// that lets a write finish.

#include "cli/cmd_watch.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "cli/commands.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/fixed_source.h"
#include "tests/support/read_back_requests.h"
#include "tests/support/stamped_update_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"
#include "update/update_engine.h"

namespace sovra::cli {
namespace {

constexpr UsbIds kKnown{0x0ABC, 0x0010, 0x0102};
constexpr UsbIds kUnrelated{0x1234, 0x0001, 0x0100};
const std::string kA = "/dev/bus/usb/001/004";
const std::string kB = "/dev/bus/usb/001/005";
const std::string kU = "/dev/bus/usb/001/006";

using testing::StampedUpdateTime;

// Raises SIGINT at the device's first write request: a Ctrl-C that comes
// while it is being written.
class InterruptingChannel final : public DeviceChannel {
  public:
    explicit InterruptingChannel(std::shared_ptr<sim::BeamformerModel> model)
        : inner_(std::move(model), false) {}
    Status Transfer(const ControlSetup& cmd, std::span<std::uint8_t> data) override {
        if (cmd.bRequest == CommandWriteFlash && !raised_) {
            raised_ = true;
            ::kill(::getpid(), SIGINT);
        }
        return inner_.Transfer(cmd, data);
    }

  private:
    sim::InProcessChannel inner_;
    bool raised_ = false;
};

class WatchTest : public ::testing::Test {
  public:
    void SetUp() override {
        ::setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
        catalogue = dir + "/FirmwareUpdate.xml";
        std::ofstream(catalogue) << R"(<Device_list><Device Device_Name="Beamformer 100" )"
                                 << R"(File_Name="fw.img" REV="01.02" VID="abc" PID="10"/>)"
                                 << "</Device_list>";
        firmware = MakeSampleImage({.records = 3, .seed = 11});
        tmp.Write("fw.img", firmware);
    }

    std::shared_ptr<sim::BeamformerModel> Model(const std::string& path, std::uint32_t seed,
                                                sim::FaultPlan faults = {}) {
        auto m = std::make_shared<sim::BeamformerModel>(
            MakeSampleFlash({.seed = seed, .keptTime = 130'000'000'000'000'000ULL}), faults);
        const std::lock_guard lock(mu);
        models[path] = m;
        return m;
    }

    DeviceAccess Access() {
        DeviceAccess access;
        access.openWatchingSource = [this](std::unique_ptr<DeviceSource>& source) {
            source = std::make_unique<testing::FixedSource>(sharedBus);
            return Error();
        };
        access.openControl = [this](const DeviceEntry& e) {
            const std::lock_guard lock(mu);
            DeviceControl c;
            const auto model = models.at(e.path);
            c.channel =
                interruptAtWrite == e.path
                    ? std::unique_ptr<DeviceChannel>(std::make_unique<InterruptingChannel>(model))
                    : std::make_unique<sim::InProcessChannel>(model, false);
            c.channel = std::make_unique<Announcing>(std::move(c.channel), *this);
            c.error = {};
            return c;
        };
        return access;
    }

    int Watch(std::optional<std::uint64_t> count) {
        WatchOptions w;
        w.image = dir + "/fw.img";
        w.catalogue = catalogue;
        w.count = count;
        w.json = true;
        return RunWatch(w, Access(), false, out, err);
    }

    // The JSON objects printed, a line each.
    std::vector<nlohmann::json> Results() const {
        std::vector<nlohmann::json> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }

    // Whether the device holds what the merge makes of `old` and the file.
    bool HoldsTheNewImage(const sim::BeamformerModel& m, const std::vector<std::uint8_t>& old) {
        const std::vector<std::uint8_t> flash = m.Flash();
        const auto stamped = StampedUpdateTime(flash);
        if (!stamped) {
            return false;
        }
        std::vector<std::uint8_t> expected = old;
        std::uint32_t length = static_cast<std::uint32_t>(firmware.size());
        NullProgress quiet;
        return MergeFirmware(expected, firmware, length, FixedClock(*stamped), quiet) == S_OK &&
               expected == flash;
    }

    // Woken by every request a device answers; the bound only keeps a
    // broken test from hanging.
    void WaitForRequests(const sim::BeamformerModel& m, std::uint64_t n) {
        std::unique_lock lock(mu);
        answered.wait_for(lock, std::chrono::seconds(30), [&] { return m.RequestCount() >= n; });
    }

    // Tells WaitForRequests of each request its channel passes on.
    class Announcing final : public DeviceChannel {
      public:
        Announcing(std::unique_ptr<DeviceChannel> inner, WatchTest& test)
            : inner_(std::move(inner)), test_(test) {}
        Status Transfer(const ControlSetup& cmd, std::span<std::uint8_t> data) override {
            const Status status = inner_->Transfer(cmd, data);
            { const std::lock_guard lock(test_.mu); }
            test_.answered.notify_all();
            return status;
        }

      private:
        std::unique_ptr<DeviceChannel> inner_;
        WatchTest& test_;
    };

    testing::TempDir tmp{"sovra-watch"};
    std::string dir = tmp.Path(), catalogue;
    std::vector<std::uint8_t> firmware;
    std::shared_ptr<testing::DeviceBus> sharedBus = std::make_shared<testing::DeviceBus>();
    testing::DeviceBus& bus = *sharedBus;
    std::mutex mu;
    std::condition_variable answered;
    std::map<std::string, std::shared_ptr<sim::BeamformerModel>> models;
    std::string interruptAtWrite;
    std::ostringstream out, err;
};

// With a trusted key installed, an unsigned catalogue stops watch before
// any device is touched.
TEST_F(WatchTest, AnUnsignedCatalogueIsRefusedWhenAKeyIsTrusted) {
    testing::TestSigner signer(dir);
    signer.MakeKey("vendor");
    signer.Export("vendor", dir + "/config/sovra-firmware-update/trusted-keys/v.asc", true);
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    const auto a = Model(kA, 1);
    bus.Plug(kA, kKnown);
    const int exit = Watch(1);
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(exit, kExitRefused);
    EXPECT_NE(err.str().find("The catalogue is not signed"), std::string::npos) << err.str();
    EXPECT_EQ(a->RequestCount(), 0u);
}

// Present at the start, plugged in later, plugged in again: each plug-in is
// taken once, in the order of the events, even when the unplug and the
// plug-in come together; a device the catalogue does not know is never
// touched, and a unit plugged back in after its update is up to date.
TEST_F(WatchTest, EachKnownDeviceOncePerPlugIn) {
    const auto a = Model(kA, 1);
    const auto u = Model(kU, 3);
    const std::vector<std::uint8_t> oldA = a->Flash();
    bus.Plug(kA, kKnown, "SN-A");
    bus.Plug(kU, kUnrelated);
    std::uint64_t requestsToA = 0;
    std::thread plugger([&] {
        WaitForRequests(*a, 100);
        const auto b = Model(kB, 2);
        bus.Plug(kB, kKnown);
        // A is still plugged in: nothing happens to it until it comes back,
        // which it does at once, before anybody could look at the bus.
        const std::uint64_t writes = (firmware.size() + 63) / 64;
        WaitForRequests(*a, testing::ReadBackRequests(oldA) + 2 * writes);
        requestsToA = a->RequestCount();
        bus.Unplug(kA);
        bus.Plug(kA, kKnown, "SN-A");
    });
    const int exit = Watch(3);
    plugger.join();
    EXPECT_EQ(exit, kExitOk) << err.str();
    const std::vector<nlohmann::json> results = Results();
    ASSERT_EQ(results.size(), 3u) << out.str() << err.str();
    std::multiset<std::string> seen;
    std::set<std::string> unitsOfA;
    for (const auto& r : results) {
        seen.insert(r["device"].get<std::string>() + " " + r["result"].get<std::string>());
        if (r["device"] == kA) {
            EXPECT_EQ(r["serial"], "SN-A");
            unitsOfA.insert(r["unit"].get<std::string>());
        }
    }
    EXPECT_EQ(unitsOfA.size(), 1u);
    EXPECT_EQ(seen,
              (std::multiset<std::string>{kA + " updated", kA + " up-to-date", kB + " updated"}));
    // Written once: the second look only read it.
    EXPECT_TRUE(HoldsTheNewImage(*a, oldA));
    EXPECT_EQ(a->RequestCount() - requestsToA, testing::ReadBackRequests(a->Flash()));
    EXPECT_EQ(u->RequestCount(), 0u);
    EXPECT_NE(err.str().find("updated 2, up to date 1, failed 0, in progress 0"), std::string::npos)
        << err.str();
}

// A device unplugged in the middle of its update fails; the others go on.
TEST_F(WatchTest, AnUnplugFailsThatDeviceAlone) {
    const auto a = Model(kA, 1, {.unplugAt = 3000});
    const auto b = Model(kB, 2);
    const std::vector<std::uint8_t> oldB = b->Flash();
    bus.Plug(kA, kKnown);
    bus.Plug(kB, kKnown);
    EXPECT_EQ(Watch(2), kExitRefused);
    const std::vector<nlohmann::json> results = Results();
    ASSERT_EQ(results.size(), 2u) << out.str();
    for (const auto& r : results) {
        EXPECT_EQ(r["result"], r["device"] == kA ? "failed" : "updated") << r.dump();
        EXPECT_EQ(r["device_state"], r["device"] == kA ? "untouched" : "updated") << r.dump();
    }
    EXPECT_TRUE(HoldsTheNewImage(*b, oldB));
}

// Ctrl-C while one device is being written: that write goes to its end,
// one still reading stops untouched, and nothing new is started.
TEST_F(WatchTest, CtrlCLetsAWriteFinish) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    sigaction(SIGINT, &ignore, &old);  // should the signal come late, the test lives on

    const auto a = Model(kA, 1);
    const auto b = Model(kB, 2, {.latency = std::chrono::microseconds(2000)});
    const std::vector<std::uint8_t> oldA = a->Flash();
    const std::vector<std::uint8_t> oldB = b->Flash();
    interruptAtWrite = kA;
    bus.Plug(kA, kKnown);
    bus.Plug(kB, kKnown);
    const int exit = Watch(std::nullopt);
    sigaction(SIGINT, &old, nullptr);

    EXPECT_EQ(exit, kExitRefused) << err.str();
    EXPECT_NE(err.str().find("Interrupted"), std::string::npos) << err.str();
    EXPECT_TRUE(HoldsTheNewImage(*a, oldA));
    EXPECT_TRUE(b->Flash() == oldB);
    const std::vector<nlohmann::json> results = Results();
    ASSERT_EQ(results.size(), 2u) << out.str();
}

// A device stays updated while it stays plugged in, and --count N starts
// no more than N updates.
TEST_F(WatchTest, APresentDeviceIsNotUpdatedAgainAndTheCountIsKept) {
    const auto a = Model(kA, 1);
    bus.Plug(kA, kKnown);
    std::thread plugger([&] {
        WaitForRequests(*a, 1 + 2 * 4096 + 2 * ((firmware.size() + 63) / 64));
        // Time for watch to see A's end before anything else comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Model(kB, 2);
        Model(kU, 3);
        bus.Plug(kB, kKnown);
        bus.Plug(kU, kKnown);
    });
    EXPECT_EQ(Watch(2), kExitOk) << err.str();
    plugger.join();
    std::multiset<std::string> devices;
    for (const auto& r : Results()) {
        devices.insert(r["device"].get<std::string>());
    }
    EXPECT_EQ(devices.count(kA), 1u) << out.str();
    EXPECT_EQ(devices.size(), 2u) << out.str();
    EXPECT_EQ(models.at(kB)->RequestCount() == 0, models.at(kU)->RequestCount() != 0);
}

// Results that cannot be written (a full disk under `>> results`) are the
// line's record lost: watch says so and starts no more devices.
TEST_F(WatchTest, ResultsThatCannotBeWrittenStopTheWatch) {
    Model(kA, 1);
    bus.Plug(kA, kKnown);
    out.setstate(std::ios::badbit);
    EXPECT_EQ(Watch(std::nullopt), kExitRefused);
    EXPECT_NE(err.str().find("cannot write the results"), std::string::npos) << err.str();
}

// What watch refuses before touching a device, and what it tells on the way.
TEST_F(WatchTest, APinnedFileThatDiffersIsRefusedAndALostHistoryIsTold) {
    const auto a = Model(kA, 1);
    bus.Plug(kA, kKnown);
    std::ofstream(catalogue) << R"(<Device_list><Device File_Name="fw.img" REV="01.02" )"
                             << R"(VID="abc" PID="10" SHA256=")" << std::string(64, '0')
                             << R"("/></Device_list>)";
    EXPECT_EQ(Watch(1), kExitRefused);
    EXPECT_NE(err.str().find("does not match"), std::string::npos) << err.str();
    EXPECT_EQ(a->RequestCount(), 0u);

    // A folder where the history should be: the update goes on, and says so.
    std::ofstream(catalogue) << R"(<Device_list><Device File_Name="fw.img" REV="01.02" )"
                             << R"(VID="abc" PID="10"/></Device_list>)";
    std::filesystem::create_directories(dir + "/state/sovra-firmware-update/history.jsonl");
    err.str("");
    EXPECT_EQ(Watch(1), kExitOk) << err.str();
    EXPECT_NE(err.str().find(kA + ": the update history was not written"), std::string::npos)
        << err.str();
}

}  // namespace
}  // namespace sovra::cli
