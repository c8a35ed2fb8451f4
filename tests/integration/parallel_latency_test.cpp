// Virtual beamformers with latency, through the real libusb and raw usbfs:
// each device holds its answers back for its own latency while the others
// answer, an unplug or the host's end sends a held answer at once, and a
// held answer is the device's answer.

#include "sim/usb_host.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "integration/usb_test_support.h"

namespace sovra::sim {
namespace {

using namespace std::chrono_literals;
using test::OpenUsb;
using test::UsbContext;
using test::UsbHandle;
using test::UsbPrepare;
using test::UsbRead;
using test::UsbWrite;

constexpr UsbIds kIds{0x0abc, 0x0010, 0x0102};
// Long enough that nothing held this long can pass for a quick answer: the
// tests end such requests by other means.
constexpr auto kForever = 10s;

std::vector<std::uint8_t> Flash(std::uint8_t seed) {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::uint32_t i = 0; i < FlashSize; ++i) {
        flash[i] = static_cast<std::uint8_t>(i * 7u + seed);
    }
    return flash;
}

// Polls `done` until it holds; false when it does not within a bound meant
// for a failing test, not as a measurement.
template <class Fn>
bool Eventually(Fn done) {
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ParallelLatencyTest, EveryDeviceHoldsItsOwnAnswerAtTheSameTime) {
    constexpr std::size_t kDevices = 4;
    UsbHost host;
    for (std::size_t i = 0; i < kDevices; ++i) {
        host.Plug(kIds, std::make_shared<BeamformerModel>(Flash(static_cast<std::uint8_t>(i)),
                                                          FaultPlan{.latency = kForever}));
    }
    // Each device has a program of its own, as each update worker has its
    // own libusb context.
    std::vector<int> results(kDevices, 0);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < kDevices; ++i) {
        readers.emplace_back([&, i] {
            UsbContext usb;
            UsbHandle h = OpenUsb(usb.get(), host.BusNumber(i), host.Address(i));
            if (!h) {
                results[i] = 1;
                return;
            }
            std::vector<std::uint8_t> chunk(ChunkSize);
            results[i] = UsbRead(h.get(), 0, chunk);
        });
    }
    // A host that answered one device at a time would hold one answer at
    // most; devices that answer side by side hold all of them together.
    const bool allHeld = Eventually([&] { return host.RequestsInFlight() == kDevices; });
    EXPECT_TRUE(allHeld) << host.RequestsInFlight() << " held";
    for (std::size_t i = 0; i < kDevices; ++i) {
        EXPECT_EQ(host.Model(i)->RequestCount(), 1u);
    }
    // Unplugged, each device answers at once that it has gone, rather than
    // after its latency.
    for (std::size_t i = 0; i < kDevices; ++i) {
        host.Unplug(i);
    }
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(results, std::vector<int>(kDevices, LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(host.RequestsInFlight(), 0u);
}

// What a client sees of one request to a device with latency.
struct HeldCase {
    const char* name;
    FaultPlan faults;
    // Runs the request on a fresh device; returns what the client got.
    int (*request)(UsbHost& host, libusb_device_handle* h, int fd);
    int expected;
    // Whether the request may pass the model's latency (standard requests
    // are answered by the host, not the model).
    bool delayed = true;
};

constexpr auto kLatency = 20ms;

int LibusbRead(UsbHost& host, libusb_device_handle* h, int) {
    std::vector<std::uint8_t> chunk(ChunkSize);
    const int r = UsbRead(h, 0x40, chunk);
    const auto flash = host.Model(0)->Flash();
    return r < 0 || std::equal(chunk.begin(), chunk.end(), flash.begin() + 0x40) ? r : -100;
}

int LibusbWrite(UsbHost& host, libusb_device_handle* h, int) {
    std::vector<std::uint8_t> chunk(ChunkSize, 0x3C);
    const int r = UsbWrite(h, 0x80, chunk);
    const auto flash = host.Model(0)->Flash();
    return r < 0 || std::equal(chunk.begin(), chunk.end(), flash.begin() + 0x80) ? r : -100;
}

int LibusbPrepare(UsbHost&, libusb_device_handle* h, int) {
    return UsbPrepare(h);
}

int LibusbDescriptor(UsbHost&, libusb_device_handle* h, int) {
    std::uint8_t buffer[18] = {};
    return libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, buffer, sizeof buffer);
}

int RawControlRead(UsbHost& host, libusb_device_handle*, int fd) {
    std::vector<std::uint8_t> chunk(ChunkSize);
    usbdevfs_ctrltransfer read{kVendorIn, CommandReadFlash, 0x50, 0x40, ChunkSize,
                               1000,      chunk.data()};
    const int r = ::ioctl(fd, USBDEVFS_CONTROL, &read);
    if (r < 0) {
        return -errno;
    }
    const auto flash = host.Model(0)->Flash();
    return std::equal(chunk.begin(), chunk.end(), flash.begin() + 0x40) ? r : -100;
}

class ParallelLatencyHeld : public testing::TestWithParam<HeldCase> {};

TEST_P(ParallelLatencyHeld, AnswerIsTheDevicesAndComesAfterItsLatency) {
    const HeldCase& c = GetParam();
    UsbHost host;
    FaultPlan faults = c.faults;
    faults.latency = kLatency;
    host.Plug(kIds, std::make_shared<BeamformerModel>(Flash(9), faults));
    UsbContext usb;
    UsbHandle h = OpenUsb(usb.get(), host.BusNumber(0), host.Address(0));
    ASSERT_TRUE(h);
    const int fd = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.request(host, h.get(), fd), c.expected);
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(fd);
    // An answer held back can only come late, never early: a lower bound
    // holds on any machine.
    if (c.delayed) {
        EXPECT_GE(took, kLatency);
    }
    EXPECT_EQ(host.RequestsInFlight(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ParallelLatencyHeld,
    testing::Values(HeldCase{"Read", {}, LibusbRead, static_cast<int>(ChunkSize)},
                    HeldCase{"Write", {}, LibusbWrite, static_cast<int>(ChunkSize)},
                    HeldCase{"Prepare", {}, LibusbPrepare, 1},
                    HeldCase{"Stall", {.failAt = 1}, LibusbRead, LIBUSB_ERROR_PIPE},
                    HeldCase{"Gone", {.unplugAt = 1}, LibusbRead, LIBUSB_ERROR_NO_DEVICE, false},
                    HeldCase{"RawControl", {}, RawControlRead, static_cast<int>(ChunkSize)},
                    HeldCase{"StandardRequest", {}, LibusbDescriptor, 18, false}),
    [](const testing::TestParamInfo<HeldCase>& info) { return info.param.name; });

TEST(ParallelLatencyTest, HostGoingAwaySendsAHeldAnswerAtOnce) {
    auto host = std::make_unique<UsbHost>();
    auto model = std::make_shared<BeamformerModel>(Flash(5), FaultPlan{.latency = kForever});
    host->Plug(kIds, model);
    const int fd = ::open(host->DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::atomic<int> result{-1000};
    std::thread client([&] {
        std::vector<std::uint8_t> chunk(ChunkSize);
        usbdevfs_ctrltransfer read{kVendorIn, CommandReadFlash, 0x50, 0, ChunkSize,
                                   1000,      chunk.data()};
        const int r = ::ioctl(fd, USBDEVFS_CONTROL, &read);
        result = r >= 0 ? r : -errno;
    });
    ASSERT_TRUE(Eventually([&] { return host->RequestsInFlight() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    host.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    client.join();
    ::close(fd);
    // The answer the device had: it did the work before the host went.
    EXPECT_EQ(result.load(), static_cast<int>(ChunkSize));
    EXPECT_LT(took, kForever);
}

}  // namespace
}  // namespace sovra::sim
