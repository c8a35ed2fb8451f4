// Virtual beamformers with latency, through the real libusb and raw usbfs:
// each device holds its answers back for its own latency while the others
// answer, an unplug or the host's end sends a held answer at once, a held
// answer is the device's answer, and a client whose time limit runs out
// first gets a timeout, as on a real bus.

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
#include <span>
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

const sim::UsbIds kIds{0x0abc, 0x0010, 0x0102};
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

// A request the device takes longer to answer than the client waits for.
struct TimeoutCase {
    const char* name;
    // Makes one read with a time limit of `timeoutMs`; returns what the
    // client got: bytes read, a libusb error, or -errno.
    int (*read)(libusb_device_handle* h, int fd, unsigned timeoutMs, std::span<std::uint8_t> chunk);
    int timedOut;
};

int LibusbTimedRead(libusb_device_handle* h, int, unsigned timeoutMs,
                    std::span<std::uint8_t> chunk) {
    return libusb_control_transfer(h, kVendorIn, CommandReadFlash, 0x50, 0x40, chunk.data(),
                                   ChunkSize, timeoutMs);
}

int RawTimedRead(libusb_device_handle*, int fd, unsigned timeoutMs, std::span<std::uint8_t> chunk) {
    usbdevfs_ctrltransfer read{kVendorIn, CommandReadFlash, 0x50,        0x40,
                               ChunkSize, timeoutMs,        chunk.data()};
    const int r = ::ioctl(fd, USBDEVFS_CONTROL, &read);
    return r >= 0 ? r : -errno;
}

class ParallelLatencyTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(ParallelLatencyTimeout, TimesOutAndTheNextRequestIsAnswered) {
    const TimeoutCase& c = GetParam();
    UsbHost host;
    const auto flash = Flash(3);
    host.Plug(kIds, std::make_shared<BeamformerModel>(flash, FaultPlan{.latency = 300ms}));
    UsbContext usb;
    UsbHandle h = OpenUsb(usb.get(), host.BusNumber(0), host.Address(0));
    ASSERT_TRUE(h);
    const int fd = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> chunk(ChunkSize, 0xEE);
    EXPECT_EQ(c.read(h.get(), fd, 50, chunk), c.timedOut);
    EXPECT_TRUE(std::all_of(chunk.begin(), chunk.end(), [](std::uint8_t v) { return v == 0xEE; }));
    // Nothing of the abandoned request is left waiting, nor reaches the
    // next one, which waits long enough.
    EXPECT_EQ(host.RequestsInFlight(), 0u);
    EXPECT_EQ(c.read(h.get(), fd, 5000, chunk), static_cast<int>(ChunkSize));
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), flash.begin() + 0x40));
    EXPECT_EQ(host.Model(0)->RequestCount(), 2u);
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, ParallelLatencyTimeout,
    testing::Values(TimeoutCase{"Libusb", LibusbTimedRead, LIBUSB_ERROR_TIMEOUT},
                    TimeoutCase{"RawControl", RawTimedRead, -ETIMEDOUT}),
    [](const testing::TestParamInfo<TimeoutCase>& info) { return info.param.name; });

// A program that gives up on a URB discards it: the URB is reaped with
// -ENOENT and nothing moved; only a URB still in flight can be discarded.
TEST(ParallelLatencyTest, ADiscardedUrbIsReapedAsCancelled) {
    UsbHost host;
    host.Plug(kIds, std::make_shared<BeamformerModel>(Flash(4), FaultPlan{.latency = kForever}));
    const int fd = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::array<std::uint8_t, 8 + ChunkSize> buffer{kVendorIn, CommandReadFlash, 0x50, 0, 0,
                                                   0,         ChunkSize,        0};
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    urb.actual_length = -1;
    usbdevfs_urb never = urb;
    ASSERT_EQ(::ioctl(fd, USBDEVFS_SUBMITURB, &urb), 0);
    EXPECT_EQ(host.RequestsInFlight(), 1u);
    void* reaped = nullptr;
    EXPECT_EQ(::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, EAGAIN);

    EXPECT_EQ(::ioctl(fd, USBDEVFS_DISCARDURB, &never), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(::ioctl(fd, USBDEVFS_DISCARDURB, &urb), 0);
    EXPECT_EQ(host.RequestsInFlight(), 0u);
    ASSERT_EQ(::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(reaped, &urb);
    EXPECT_EQ(urb.status, -ENOENT);
    EXPECT_EQ(urb.actual_length, 0);
    EXPECT_TRUE(
        std::all_of(buffer.begin() + 8, buffer.end(), [](std::uint8_t v) { return v == 0; }));
    EXPECT_EQ(::ioctl(fd, USBDEVFS_DISCARDURB, &urb), -1);
    EXPECT_EQ(errno, EINVAL);
    ::close(fd);
}

TEST(ParallelLatencyTest, HostGoingAwaySendsAHeldAnswerAtOnce) {
    auto host = std::make_unique<UsbHost>();
    auto model = std::make_shared<BeamformerModel>(Flash(5), FaultPlan{.latency = kForever});
    host->Plug(kIds, model);
    const int fd = ::open(host->DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::atomic<int> result{-1000};
    std::thread client([&] {
        std::vector<std::uint8_t> chunk(ChunkSize);
        // With no time limit of its own, the client waits for the device.
        usbdevfs_ctrltransfer read{kVendorIn, CommandReadFlash, 0x50, 0, ChunkSize,
                                   0,         chunk.data()};
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
