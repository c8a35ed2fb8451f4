// The device layer against virtual beamformers behind the real libudev and
// libusb: discovery and hot-plug through the udev source, the binding, the
// control-transfer channel, and `list` and `dump` end to end.

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/cmd_dump.h"
#include "cli/cmd_list.h"
#include "cli/commands.h"
#include "cli/device_select.h"
#include "device/device_control.h"
#include "device/device_rules.h"
#include "device/udev_source.h"
#include "sim/usb_host.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

using sim::BeamformerModel;
using sim::FaultPlan;
using sim::UsbHost;

const sim::UsbIds kBf100{0x0abc, 0x0010, 0x0102};
const sim::UsbIds kBf300{0x0abc, 0x001a, 0x0110};
const sim::UsbIds kUnknown{0x1d6b, 0x0002, 0x0515};

const char* kCatalogueXml = R"(<Device_list>
  <Device File_Name="bf100.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10"/>
  <Device Device_Name="Beamformer 300" VID="ABC" PID="1a"/>
</Device_list>)";

FirmwareCatalogue Catalogue() {
    return FirmwareCatalogue::LoadFromBuffer(kCatalogueXml, std::strlen(kCatalogueXml));
}

std::vector<std::uint8_t> PatternFlash(std::uint8_t seed = 0) {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::uint32_t i = 0; i < FlashSize; ++i) {
        flash[i] = static_cast<std::uint8_t>(i * 131u + (i >> 6) * 7u + seed);
    }
    return flash;
}

std::shared_ptr<BeamformerModel> MakeModel(FaultPlan faults = {}, std::uint8_t seed = 0) {
    return std::make_shared<BeamformerModel>(PatternFlash(seed), faults);
}

DeviceEntry EntryFor(const UsbHost& host, std::size_t index) {
    const UsbIds ids = host.Ids(index);
    return {ids.vendor, ids.product, ids.revision, host.DeviceNode(index)};
}

std::unique_ptr<DeviceSource> OpenSource(bool watch) {
    std::unique_ptr<DeviceSource> source;
    const Error e = UdevSource::Open(watch, source);
    EXPECT_TRUE(source) << e.What();
    return source;
}

// Waits for the source's descriptor to become readable, then drains it,
// until some device came or went. The bound only keeps a broken test from
// hanging; nothing is timed.
std::vector<DeviceChange> WaitForChanges(DeviceSource& source) {
    for (int round = 0; round < 20; ++round) {
        pollfd pfd{source.EventFd(), POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            return {};
        }
        if (auto changes = source.DrainEvents(); !changes.empty()) {
            return changes;
        }
    }
    return {};
}

// The first `chunks` chunks read through a channel, after the prepare
// request; stops at the first failure, whose status and chunk number it
// reports.
struct ReadResult {
    Status status = S_OK;
    std::uint32_t failedChunk = 0;
    std::vector<std::uint8_t> flash;
};

ReadResult ReadFlash(DeviceChannel& channel, std::uint32_t chunks = ChunkCount) {
    ReadResult r;
    r.flash.assign(FlashSize, 0);
    r.status = SendPrepare(channel);
    if (Failed(r.status)) {
        return r;
    }
    for (std::uint32_t i = 0; i < chunks; ++i) {
        r.status = ReadChunk(channel, i * ChunkSize, r.flash);
        if (Failed(r.status)) {
            r.failedChunk = i;
            return r;
        }
    }
    return r;
}

class DeviceStackTest : public ::testing::Test {
  protected:
    UsbHost host_;
};

TEST_F(DeviceStackTest, EnumerationGivesOneRowPerKnownDevice) {
    host_.Plug(kBf300, MakeModel());
    host_.Plug(kUnknown, MakeModel());
    host_.Plug(kBf100, MakeModel());

    auto source = OpenSource(false);
    ASSERT_TRUE(source);
    const std::vector<PresentDevice> present = source->PresentDevices();
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < host_.DeviceCount(); ++i) {
        bool seen = false;
        for (const PresentDevice& d : present) {
            seen = seen || d.path == host_.DeviceNode(i);
        }
        EXPECT_TRUE(seen) << host_.DeviceNode(i);
    }

    const auto rows = BuildDeviceRows(Catalogue(), present);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "Beamformer 100, firmware ver. 01.02");
    EXPECT_EQ(rows[0].entry, EntryFor(host_, 2));
    EXPECT_EQ(rows[1].text, "Beamformer 300, firmware ver. 01.16");
    EXPECT_EQ(rows[1].entry, EntryFor(host_, 0));
}

// Each arrival and removal reaches the monitor with the device's node and
// ids (a removal's from the event itself: its sysfs entry is gone), and
// only a device the catalogue knows, or a listed one, calls for a rebuild.
TEST_F(DeviceStackTest, PlugAndUnplugThroughTheMonitorRebuildTheList) {
    auto source = OpenSource(true);
    ASSERT_TRUE(source);
    ASSERT_GE(source->EventFd(), 0);
    EXPECT_TRUE(source->DrainEvents().empty());  // nothing pending yet
    const FirmwareCatalogue catalogue = Catalogue();
    DeviceList list;
    list.Rebuild(catalogue, source->PresentDevices());
    EXPECT_FALSE(list.StartUpdateEnabled());

    const std::size_t a = host_.AddUnplugged(kBf300, MakeModel());
    const std::size_t b = host_.AddUnplugged(kBf100, MakeModel());
    const std::size_t other = host_.AddUnplugged(kUnknown, MakeModel());
    struct Step {
        const char* what;
        std::function<void()> change;
        std::size_t device;
        bool rebuild;
        std::size_t rows;  // after the rebuild
    };
    const Step steps[] = {
        {"known arrives", [&] { host_.Replug(a); }, a, true, 1},
        {"unknown arrives", [&] { host_.Replug(other); }, other, false, 1},
        {"second known arrives", [&] { host_.Replug(b); }, b, true, 2},
        {"unknown leaves", [&] { host_.Unplug(other); }, other, false, 2},
        {"known leaves", [&] { host_.Unplug(b); }, b, true, 1},
        {"last leaves", [&] { host_.Unplug(a); }, a, true, 0},
        {"comes back", [&] { host_.Replug(a); }, a, true, 1},
    };
    for (const Step& step : steps) {
        step.change();
        const std::vector<DeviceChange> changes = WaitForChanges(*source);
        ASSERT_EQ(changes.size(), 1u) << step.what;
        EXPECT_EQ(changes[0].path, host_.DeviceNode(step.device)) << step.what;
        EXPECT_EQ(changes[0].ids, host_.Ids(step.device)) << step.what;
        EXPECT_EQ(list.Concerns(catalogue, changes), step.rebuild) << step.what;
        if (step.rebuild) {
            list.Select(static_cast<int>(list.Rows().size()) - 1);
            list.Rebuild(catalogue, source->PresentDevices());
        }
        EXPECT_EQ(list.Rows().size(), step.rows) << step.what;
        EXPECT_EQ(list.Selection(), step.rows == 0 ? DeviceList::kNoSelection : 0) << step.what;
    }
    EXPECT_EQ(list.Rows()[0].entry.path, host_.DeviceNode(a));
}

TEST_F(DeviceStackTest, AbsentOrChangedDeviceIsNotBound) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    DeviceEntry entry = EntryFor(host_, i);

    struct Case {
        const char* name;
        DeviceEntry entry;
    };
    DeviceEntry otherAddress = entry;
    otherAddress.path = "/dev/bus/usb/" + entry.path.substr(13, 3) + "/120";
    DeviceEntry otherModel = entry;
    otherModel.productId = 0x1a;
    for (const Case& c :
         {Case{"NoDeviceAtThatAddress", otherAddress}, Case{"AnotherModelAtTheNode", otherModel}}) {
        const DeviceControl control = OpenDeviceControl(c.entry);
        EXPECT_EQ(control.error.Code(), E_DEVICE_GONE) << c.name;
        EXPECT_EQ(control.channel, nullptr) << c.name;
    }

    host_.Unplug(i);
    const DeviceControl gone = OpenDeviceControl(entry);
    EXPECT_FALSE(gone.NoControl());
    EXPECT_EQ(gone.channel, nullptr);
}

TEST_F(DeviceStackTest, WholeReadThroughTheChannelEqualsTheModel) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    DeviceControl control = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_FALSE(control.error.Failed()) << control.error.What();
    ASSERT_TRUE(control.channel);

    const ReadResult r = ReadFlash(*control.channel);
    ASSERT_EQ(r.status, S_OK) << StatusText(r.status) << " at chunk " << r.failedChunk;
    EXPECT_TRUE(r.flash == host_.Model(i)->Flash());
    EXPECT_EQ(host_.Model(i)->RequestCount(), ChunkCount + 1);
}

TEST_F(DeviceStackTest, WritesReachTheDevice) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    DeviceControl control = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(control.channel) << control.error.What();

    std::vector<std::uint8_t> image = PatternFlash(0x5A);
    std::vector<std::uint8_t> expected = PatternFlash();
    for (const std::uint32_t a : {0u, 0x10000u, FlashSize - ChunkSize}) {
        ASSERT_EQ(WriteChunk(*control.channel, a, image), S_OK) << a;
        std::copy_n(image.begin() + a, ChunkSize, expected.begin() + a);
    }
    EXPECT_TRUE(host_.Model(i)->Flash() == expected);
}

TEST_F(DeviceStackTest, RefusedRequestIsAStall) {
    // Request 1 is the prepare request; request 40 reads chunk 38.
    const std::size_t i = host_.Plug(kBf100, MakeModel({.failAt = 40}));
    DeviceControl control = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(control.channel) << control.error.What();
    const ReadResult r = ReadFlash(*control.channel);
    EXPECT_EQ(r.status, E_DEVICE_STALL);
    EXPECT_EQ(r.failedChunk, 38u);
}

TEST_F(DeviceStackTest, UnplugInTheMiddleOfAReadFailsInsteadOfHanging) {
    const std::size_t i = host_.Plug(kBf100, MakeModel({.unplugAt = 300}));
    DeviceControl control = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(control.channel) << control.error.What();
    const ReadResult r = ReadFlash(*control.channel);
    EXPECT_EQ(r.status, E_DEVICE_GONE) << StatusText(r.status);
    EXPECT_EQ(r.failedChunk, 298u);

    // Every later request fails the same way, at once.
    std::vector<std::uint8_t> image(FlashSize);
    EXPECT_EQ(ReadChunk(*control.channel, 0, image), E_DEVICE_GONE);
}

TEST_F(DeviceStackTest, UnplugFromOutsideWhileBound) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    DeviceControl control = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(control.channel) << control.error.What();
    host_.Unplug(i);
    const ReadResult r = ReadFlash(*control.channel, 4);
    EXPECT_EQ(r.status, E_DEVICE_GONE) << StatusText(r.status);
}

TEST_F(DeviceStackTest, ChannelsOfTwoDevicesRunInParallel) {
    const std::size_t a = host_.Plug(kBf100, MakeModel({}, 1));
    const std::size_t b = host_.Plug(kBf300, MakeModel({}, 2));
    DeviceControl ca = OpenDeviceControl(EntryFor(host_, a));
    DeviceControl cb = OpenDeviceControl(EntryFor(host_, b));
    ASSERT_TRUE(ca.channel && cb.channel) << ca.error.What() << cb.error.What();

    constexpr std::uint32_t kChunks = 512;
    ReadResult ra;
    ReadResult rb;
    std::thread ta([&] { ra = ReadFlash(*ca.channel, kChunks); });
    std::thread tb([&] { rb = ReadFlash(*cb.channel, kChunks); });
    ta.join();
    tb.join();
    ASSERT_EQ(ra.status, S_OK);
    ASSERT_EQ(rb.status, S_OK);
    const auto fa = host_.Model(a)->Flash();
    const auto fb = host_.Model(b)->Flash();
    const auto n = static_cast<std::ptrdiff_t>(kChunks * ChunkSize);
    EXPECT_TRUE(std::equal(ra.flash.begin(), ra.flash.begin() + n, fa.begin()));
    EXPECT_TRUE(std::equal(rb.flash.begin(), rb.flash.begin() + n, fb.begin()));
}

TEST_F(DeviceStackTest, ASecondBindingIsRefusedWhileTheFirstHoldsTheDevice) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    DeviceControl first = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(first.channel) << first.error.What();
    const DeviceControl second = OpenDeviceControl(EntryFor(host_, i));
    EXPECT_EQ(second.error.Code(), E_DEVICE_BUSY);
    EXPECT_EQ(second.error.What(), "another program is using " + host_.DeviceNode(i));
    EXPECT_EQ(second.channel, nullptr);

    first.channel.reset();
    DeviceControl third = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(third.channel) << third.error.What();
    EXPECT_EQ(ReadFlash(*third.channel, 2).status, S_OK);
}

TEST_F(DeviceStackTest, ADeviceSlowerThanTheTimeLimitTimesOutAndStaysUsable) {
    const std::size_t i = host_.Plug(kBf100, MakeModel({.latency = std::chrono::seconds(1)}));
    DeviceControl impatient = OpenDeviceControl(EntryFor(host_, i), std::chrono::milliseconds(300));
    ASSERT_TRUE(impatient.channel) << impatient.error.What();
    std::vector<std::uint8_t> image(FlashSize);
    EXPECT_EQ(ReadChunk(*impatient.channel, 0, image), E_DEVICE_TIMEOUT);
    EXPECT_EQ(ReadChunk(*impatient.channel, ChunkSize, image), E_DEVICE_TIMEOUT);
    impatient.channel.reset();

    DeviceControl patient = OpenDeviceControl(EntryFor(host_, i));
    ASSERT_TRUE(patient.channel) << patient.error.What();
    ASSERT_EQ(ReadChunk(*patient.channel, 2 * ChunkSize, image), S_OK);
    const auto flash = host_.Model(i)->Flash();
    EXPECT_TRUE(std::equal(image.begin() + 2 * ChunkSize, image.begin() + 3 * ChunkSize,
                           flash.begin() + 2 * ChunkSize));
}

// --- the command line, in-process, through the system's device access ------

class CliOnDevicesTest : public DeviceStackTest {
  protected:
    void TearDown() override {
        for (const std::string& name : testing::FilesIn(dir_)) {
            EXPECT_TRUE(name == "FirmwareUpdate.xml" || name == "flash.bin")
                << "a file was left behind in " << dir_ << ": " << name;
        }
    }

    testing::TempDir tmp_{"sovra-device-stack"};
    const std::string dir_ = tmp_.Path();
    const std::string catalogue_ = tmp_.Write("FirmwareUpdate.xml", kCatalogueXml);
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(CliOnDevicesTest, ListPrintsTheRowsWithTheirPaths) {
    const std::size_t a = host_.Plug(kBf300, MakeModel());
    const std::size_t b = host_.Plug(kBf100, MakeModel());
    cli::ListOptions options;
    options.catalogue = catalogue_;
    options.json = true;
    ASSERT_EQ(cli::RunList(options, cli::SystemDeviceAccess(), out_, err_), cli::kExitOk)
        << err_.str();
    const auto rows = nlohmann::json::parse(out_.str());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["path"], host_.DeviceNode(b));
    EXPECT_EQ(rows[0]["revision"], "0102");
    EXPECT_EQ(rows[1]["path"], host_.DeviceNode(a));
    EXPECT_EQ(rows[1]["product_id"], "001a");
}

TEST_F(CliOnDevicesTest, DumpSavesTheModelsFlash) {
    const std::size_t i = host_.Plug(kBf100, MakeModel());
    cli::DumpOptions options;
    options.device = "abc:10";
    options.output = dir_ + "/flash.bin";
    options.catalogue = catalogue_;
    ASSERT_EQ(cli::RunDump(options, cli::SystemDeviceAccess(), out_, err_, false), cli::kExitOk)
        << err_.str();
    std::ifstream in(options.output, std::ios::binary);
    const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(saved == host_.Model(i)->Flash());
}

TEST_F(CliOnDevicesTest, DumpOfAVanishingDeviceLeavesNoFile) {
    host_.Plug(kBf100, MakeModel({.unplugAt = 2000}));
    cli::DumpOptions options;
    options.device = "0abc:0010";
    options.output = dir_ + "/flash.bin";
    options.catalogue = catalogue_;
    EXPECT_EQ(cli::RunDump(options, cli::SystemDeviceAccess(), out_, err_, false),
              cli::kExitRefused);
    EXPECT_NE(err_.str().find("address 0x1F380"), std::string::npos) << err_.str();
    EXPECT_NE(err_.str().find("disconnected"), std::string::npos) << err_.str();
    EXPECT_NE(::access(options.output.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace sovra
