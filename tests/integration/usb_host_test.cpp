// The virtual beamformer as libudev and libusb see it: enumeration, the
// flash requests end to end, stalls, injected faults, unplug and replug, and
// what the usbfs handler does with malformed requests.

#include "sim/usb_host.h"
#include "sim/usbfs_handler.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "integration/usb_test_support.h"

namespace sovra::sim {
namespace {

using test::OpenUsb;
using test::UdevMonitor;
using test::UsbContext;
using test::UsbHandle;
using test::UsbPrepare;
using test::UsbRead;
using test::UsbWrite;

const sim::UsbIds kIds{0x0abc, 0x0010, 0x0102};

// Every chunk differs from every other, so a misplaced chunk shows.
std::vector<std::uint8_t> PatternFlash() {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::uint32_t i = 0; i < FlashSize; ++i) {
        flash[i] = static_cast<std::uint8_t>(i * 131u + (i >> 6) * 7u + (i >> 14));
    }
    return flash;
}

std::shared_ptr<BeamformerModel> MakeModel(FaultPlan faults = {}) {
    return std::make_shared<BeamformerModel>(PatternFlash(), faults);
}

class UsbHostTest : public testing::Test {
  protected:
    UsbHandle PlugAndOpen(std::shared_ptr<BeamformerModel> model, UsbIds ids = kIds) {
        index_ = host_.Plug(ids, std::move(model));
        UsbHandle h = OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_));
        EXPECT_TRUE(h);
        return h;
    }

    UsbHost host_;
    UsbContext usb_;
    std::size_t index_ = 0;
};

std::string Attribute(udev_device* d, const char* name) {
    const char* v = udev_device_get_sysattr_value(d, name);
    return v != nullptr ? v : "<none>";
}

TEST_F(UsbHostTest, UdevAndLibusbSeeEachDeviceWithItsIds) {
    const std::vector<UsbIds> plugged = {kIds, {0x1234, 0xfedc, 0x0a0b}};
    for (const UsbIds& ids : plugged) {
        host_.Plug(ids, MakeModel());
    }

    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> e(udev_enumerate_new(u.get()),
                                                                       udev_enumerate_unref);
    udev_enumerate_add_match_subsystem(e.get(), "usb");
    udev_enumerate_add_match_property(e.get(), "DEVTYPE", "usb_device");
    ASSERT_EQ(udev_enumerate_scan_devices(e.get()), 0);
    std::size_t found = 0;
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        const std::string path = udev_list_entry_get_name(entry);
        for (std::size_t i = 0; i < plugged.size(); ++i) {
            if (path != host_.SysPath(i)) {
                continue;
            }
            ++found;
            SCOPED_TRACE(path);
            std::unique_ptr<udev_device, decltype(&udev_device_unref)> d(
                udev_device_new_from_syspath(u.get(), path.c_str()), udev_device_unref);
            ASSERT_TRUE(d);
            char text[16];
            std::snprintf(text, sizeof text, "%04x", plugged[i].vendor);
            EXPECT_EQ(Attribute(d.get(), "idVendor"), text);
            std::snprintf(text, sizeof text, "%04x", plugged[i].product);
            EXPECT_EQ(Attribute(d.get(), "idProduct"), text);
            std::snprintf(text, sizeof text, "%04x", plugged[i].revision);
            EXPECT_EQ(Attribute(d.get(), "bcdDevice"), text);
            EXPECT_EQ(Attribute(d.get(), "busnum"), std::to_string(host_.BusNumber(i)));
            EXPECT_EQ(Attribute(d.get(), "devnum"), std::to_string(host_.Address(i)));
            EXPECT_EQ(Attribute(d.get(), "speed"), "480");
            const char* node = udev_device_get_devnode(d.get());
            EXPECT_EQ(std::string(node != nullptr ? node : ""), host_.DeviceNode(i));
        }
    }
    EXPECT_EQ(found, plugged.size());

    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(usb_.get(), &list);
    ASSERT_GE(n, 0);
    std::size_t matched = 0;
    for (ssize_t k = 0; k < n; ++k) {
        for (std::size_t i = 0; i < plugged.size(); ++i) {
            if (libusb_get_device_address(list[k]) != host_.Address(i)) {
                continue;
            }
            ++matched;
            libusb_device_descriptor dd{};
            ASSERT_EQ(libusb_get_device_descriptor(list[k], &dd), 0);
            EXPECT_EQ(dd.idVendor, plugged[i].vendor);
            EXPECT_EQ(dd.idProduct, plugged[i].product);
            EXPECT_EQ(dd.bcdDevice, plugged[i].revision);
            EXPECT_EQ(libusb_get_device_speed(list[k]), LIBUSB_SPEED_HIGH);
            libusb_config_descriptor* config = nullptr;
            ASSERT_EQ(libusb_get_active_config_descriptor(list[k], &config), 0);
            ASSERT_EQ(config->bNumInterfaces, 1);
            EXPECT_EQ(config->interface[0].altsetting[0].bInterfaceClass, LIBUSB_CLASS_VENDOR_SPEC);
            libusb_free_config_descriptor(config);
        }
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(matched, plugged.size());
}

TEST_F(UsbHostTest, WholeFlashReadThroughLibusbEqualsTheModel) {
    auto model = MakeModel();
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    ASSERT_EQ(libusb_claim_interface(h.get(), 0), 0);
    ASSERT_EQ(UsbPrepare(h.get()), 1);
    std::vector<std::uint8_t> read(FlashSize);
    for (std::uint32_t a = 0; a < FlashSize; a += ChunkSize) {
        ASSERT_EQ(UsbRead(h.get(), a, std::span(read).subspan(a, ChunkSize)),
                  static_cast<int>(ChunkSize))
            << "at " << a;
    }
    EXPECT_TRUE(read == model->Flash());
    EXPECT_EQ(model->RequestCount(), ChunkCount + 1);
    EXPECT_EQ(libusb_release_interface(h.get(), 0), 0);
}

TEST_F(UsbHostTest, WritesLandInTheModelAndReadBack) {
    auto model = MakeModel();
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    ASSERT_EQ(UsbPrepare(h.get()), 1);
    EXPECT_TRUE(model->Prepared());
    std::vector<std::uint8_t> expected = PatternFlash();
    for (const std::uint32_t a : {0u, 0x1FFC0u, FlashSize - ChunkSize}) {
        std::vector<std::uint8_t> chunk(ChunkSize);
        for (std::size_t k = 0; k < chunk.size(); ++k) {
            chunk[k] = static_cast<std::uint8_t>(~expected[a + k]);
        }
        ASSERT_EQ(UsbWrite(h.get(), a, chunk), static_cast<int>(ChunkSize));
        std::copy(chunk.begin(), chunk.end(), expected.begin() + a);
        std::vector<std::uint8_t> back(ChunkSize);
        ASSERT_EQ(UsbRead(h.get(), a, back), static_cast<int>(ChunkSize));
        EXPECT_EQ(back, chunk) << "at " << a;
    }
    EXPECT_TRUE(model->Flash() == expected);
}

TEST_F(UsbHostTest, StandardDescriptorRequestsAreAnswered) {
    UsbHandle h = PlugAndOpen(MakeModel());
    ASSERT_TRUE(h);
    const std::vector<std::uint8_t> descriptors = BuildDescriptors(kIds);
    std::uint8_t buffer[64] = {};
    ASSERT_EQ(libusb_get_descriptor(h.get(), LIBUSB_DT_DEVICE, 0, buffer, sizeof buffer), 18);
    EXPECT_TRUE(std::equal(buffer, buffer + 18, descriptors.begin()));
    int configuration = -1;
    EXPECT_EQ(libusb_get_configuration(h.get(), &configuration), 0);
    EXPECT_EQ(configuration, 1);
    // None of them reached the model, which knows only the flash requests.
    EXPECT_EQ(host_.Model(index_)->RequestCount(), 0u);
}

struct RefusedCase {
    const char* name;
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
    std::uint8_t firstByte = 0;
};

class UsbHostRefused : public UsbHostTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(UsbHostRefused, IsAStallAndTheDeviceStaysUsable) {
    const RefusedCase& c = GetParam();
    auto model = MakeModel();
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    std::vector<std::uint8_t> data(std::max<std::size_t>(c.length, 1), c.firstByte);
    EXPECT_EQ(libusb_control_transfer(h.get(), c.requestType, c.request, c.value, c.index,
                                      data.data(), c.length, test::kTransferTimeoutMs),
              LIBUSB_ERROR_PIPE);
    std::vector<std::uint8_t> chunk(ChunkSize);
    EXPECT_EQ(UsbRead(h.get(), 0, chunk), static_cast<int>(ChunkSize));
    EXPECT_TRUE(model->Flash() == PatternFlash());
    EXPECT_FALSE(model->Prepared());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UsbHostRefused,
    testing::Values(RefusedCase{"UnknownCommand", kVendorIn, 0xBC, 0x50, 0, 64},
                    RefusedCase{"AddressPastTheFlash", kVendorIn, CommandReadFlash, 0x54, 0, 64},
                    RefusedCase{"AddressWithoutTag", kVendorIn, CommandReadFlash, 0x00, 0, 64},
                    RefusedCase{"LastChunkTooLong", kVendorIn, CommandReadFlash, 0x53, 0xFFF0, 64},
                    RefusedCase{"ReadLongerThanAChunk", kVendorIn, CommandReadFlash, 0x50, 0, 65},
                    RefusedCase{"ReadAsOut", kVendorOut, CommandReadFlash, 0x50, 0, 64},
                    RefusedCase{"WriteAsIn", kVendorIn, CommandWriteFlash, 0x50, 0, 64},
                    RefusedCase{"WriteOfNothing", kVendorOut, CommandWriteFlash, 0x50, 0, 0},
                    RefusedCase{"PrepareWrongIndex", kVendorOut, CommandPrepare, 0, 0x1C, 1, 1},
                    RefusedCase{"PrepareWrongValue", kVendorOut, CommandPrepare, 0, 0x1B, 1, 2},
                    RefusedCase{"UnknownStandardRequest", 0x80, 0x33, 0, 0, 2}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(UsbHostTest, FailAtStallsExactlyThatRequest) {
    auto model = MakeModel({.failAt = 3});
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    std::vector<std::uint8_t> chunk(ChunkSize);
    std::vector<int> results;
    for (std::uint32_t k = 0; k < 5; ++k) {
        results.push_back(UsbRead(h.get(), k * ChunkSize, chunk));
    }
    EXPECT_EQ(results, (std::vector<int>{64, 64, LIBUSB_ERROR_PIPE, 64, 64}));
}

TEST_F(UsbHostTest, UnplugAtVanishesAndTheHostTakesTheDeviceOffTheBus) {
    UdevMonitor monitor;
    auto model = MakeModel({.unplugAt = 4});
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    const auto added = monitor.Next();
    ASSERT_TRUE(added);
    EXPECT_EQ(added->action, "add");

    std::vector<std::uint8_t> chunk(ChunkSize);
    std::vector<int> results;
    for (std::uint32_t k = 0; k < 6; ++k) {
        results.push_back(UsbRead(h.get(), k * ChunkSize, chunk));
    }
    EXPECT_EQ(results, (std::vector<int>{64, 64, 64, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE,
                                         LIBUSB_ERROR_NO_DEVICE}));
    host_.Settle();
    EXPECT_FALSE(host_.Plugged(index_));
    const auto removed = monitor.Next();
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->action, "remove");
    EXPECT_EQ(removed->sysPath, host_.SysPath(index_));
    EXPECT_EQ(::access(host_.DeviceNode(index_).c_str(), F_OK), -1);

    // Plugged back in, the device does not vanish again: the fault is spent.
    host_.Replug(index_);
    UsbHandle fresh = OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_));
    ASSERT_TRUE(fresh);
    for (std::uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(UsbRead(fresh.get(), k * ChunkSize, chunk), static_cast<int>(ChunkSize));
    }
}

TEST_F(UsbHostTest, UnplugAndReplugAreSeenAsRemoveAndAdd) {
    UdevMonitor monitor;
    auto model = MakeModel();
    UsbHandle old = PlugAndOpen(model);
    ASSERT_TRUE(old);
    ASSERT_EQ(UsbPrepare(old.get()), 1);
    ASSERT_EQ(monitor.Next()->action, "add");

    host_.Unplug(index_);
    host_.Unplug(index_);  // a second unplug changes nothing
    const auto removed = monitor.Next();
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->action, "remove");
    std::vector<std::uint8_t> chunk(ChunkSize);
    EXPECT_EQ(UsbRead(old.get(), 0, chunk), LIBUSB_ERROR_NO_DEVICE);

    host_.Replug(index_);
    host_.Replug(index_);  // as does a second replug
    const auto added = monitor.Next();
    ASSERT_TRUE(added);
    EXPECT_EQ(added->action, "add");
    EXPECT_EQ(added->sysPath, host_.SysPath(index_));
    // A fresh power-up: the prepare is gone, the flash is not; a handle from
    // before the unplug stays dead, a new one works.
    EXPECT_FALSE(model->Prepared());
    EXPECT_EQ(UsbRead(old.get(), 0, chunk), LIBUSB_ERROR_NO_DEVICE);
    UsbHandle fresh = OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_));
    ASSERT_TRUE(fresh);
    ASSERT_EQ(UsbRead(fresh.get(), 0, chunk), static_cast<int>(ChunkSize));
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), PatternFlash().begin()));
}

// A serial number reaches sysfs and the string descriptor; each plug-in
// after the first gets the next free address, and so a new node.
TEST_F(UsbHostTest, ASerialNumberAndANewAddressAtEachPlugIn) {
    UsbIds ids = kIds;
    ids.serial = "BF-0042";
    UsbHandle h = PlugAndOpen(MakeModel(), ids);
    ASSERT_TRUE(h);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h.get()), &d), 0);
    unsigned char text[64] = {};
    ASSERT_EQ(libusb_get_string_descriptor_ascii(h.get(), d.iSerialNumber, text, sizeof text), 7);
    EXPECT_STREQ(reinterpret_cast<const char*>(text), "BF-0042");
    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    std::unique_ptr<udev_device, decltype(&udev_device_unref)> dev(
        udev_device_new_from_syspath(u.get(), host_.SysPath(index_).c_str()), udev_device_unref);
    ASSERT_TRUE(dev);
    EXPECT_EQ(Attribute(dev.get(), "serial"), "BF-0042");

    const std::string first = host_.DeviceNode(index_);
    host_.Unplug(index_);
    host_.Replug(index_);
    EXPECT_NE(host_.DeviceNode(index_), first);
    EXPECT_EQ(::access(host_.DeviceNode(index_).c_str(), F_OK), 0);
    EXPECT_TRUE(OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_)));
}

// Whether libudev lists a USB device at `sysPath`.
bool Listed(const std::string& sysPath) {
    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> e(udev_enumerate_new(u.get()),
                                                                       udev_enumerate_unref);
    udev_enumerate_add_match_subsystem(e.get(), "usb");
    udev_enumerate_scan_devices(e.get());
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        if (sysPath == udev_list_entry_get_name(entry)) {
            return true;
        }
    }
    return false;
}

TEST_F(UsbHostTest, ADeviceAddedUnpluggedIsAbsentUntilItArrives) {
    UdevMonitor monitor;
    const std::size_t present = host_.Plug(kIds, MakeModel());
    ASSERT_EQ(monitor.Next()->action, "add");
    index_ = host_.AddUnplugged({0x1d6b, 0x0104, 0x0100}, MakeModel());
    EXPECT_EQ(host_.Address(index_), host_.Address(present) + 1);
    EXPECT_FALSE(host_.Plugged(index_));
    EXPECT_FALSE(Listed(host_.SysPath(index_)));
    EXPECT_EQ(::access(host_.DeviceNode(index_).c_str(), F_OK), -1);
    int error = 0;
    EXPECT_FALSE(OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_), &error));
    EXPECT_EQ(error, LIBUSB_ERROR_NOT_FOUND);

    host_.Replug(index_);
    const auto added = monitor.Next();
    ASSERT_TRUE(added);
    EXPECT_EQ(added->action, "add");
    EXPECT_EQ(added->sysPath, host_.SysPath(index_));
    EXPECT_TRUE(Listed(host_.SysPath(index_)));
    UsbHandle h = OpenUsb(usb_.get(), host_.BusNumber(index_), host_.Address(index_));
    ASSERT_TRUE(h);
    std::vector<std::uint8_t> chunk(ChunkSize);
    EXPECT_EQ(UsbRead(h.get(), 0, chunk), static_cast<int>(ChunkSize));
}

TEST_F(UsbHostTest, UnplugDuringAReadEndsItWithNoDevice) {
    auto model = MakeModel();
    UsbHandle h = PlugAndOpen(model);
    ASSERT_TRUE(h);
    std::atomic<int> failure{0};
    std::atomic<std::uint64_t> readsAfterUnplug{0};
    std::atomic<bool> unplugged{false};
    std::thread reader([&] {
        std::vector<std::uint8_t> chunk(ChunkSize);
        for (std::uint32_t a = 0;; a = (a + ChunkSize) % FlashSize) {
            const int r = UsbRead(h.get(), a, chunk);
            if (r != static_cast<int>(ChunkSize)) {
                failure = r;
                return;
            }
            if (unplugged) {
                ++readsAfterUnplug;
            }
        }
    });
    while (model->RequestCount() < 100) {
        std::this_thread::yield();
    }
    host_.Unplug(index_);
    unplugged = true;
    reader.join();
    EXPECT_EQ(failure.load(), LIBUSB_ERROR_NO_DEVICE);
    // At most the request in flight when the flag was set completes.
    EXPECT_LE(readsAfterUnplug.load(), 1u);
}

// Raw usbfs, as a program without libusb would use it.
class UsbfsRawTest : public UsbHostTest {
  protected:
    void SetUp() override {
        index_ = host_.Plug(kIds, MakeModel());
        fd_ = ::open(host_.DeviceNode(index_).c_str(), O_RDWR);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    // errno of a failing ioctl, 0 when it succeeds.
    int Errno(unsigned long request, void* arg) const {
        return ::ioctl(fd_, request, arg) < 0 ? errno : 0;
    }
    int fd_ = -1;
};

struct MalformedUrb {
    const char* name;
    unsigned char type = USBDEVFS_URB_TYPE_CONTROL;
    unsigned char endpoint = 0;
    int bufferLength = 8 + 64;
    std::uint16_t wLength = 64;
    bool nullBuffer = false;
    int expected = EINVAL;
};

class UsbfsMalformedUrb : public UsbfsRawTest, public testing::WithParamInterface<MalformedUrb> {};

TEST_P(UsbfsMalformedUrb, IsRefusedWithoutReachingTheDevice) {
    const MalformedUrb& c = GetParam();
    std::vector<std::uint8_t> buffer(8 + 8192, 0);
    const std::uint8_t setup[8] = {kVendorIn,
                                   CommandReadFlash,
                                   0x50,
                                   0,
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(c.wLength & 0xFF),
                                   static_cast<std::uint8_t>(c.wLength >> 8)};
    std::memcpy(buffer.data(), setup, sizeof setup);
    usbdevfs_urb urb{};
    urb.type = c.type;
    urb.endpoint = c.endpoint;
    urb.buffer = c.nullBuffer ? nullptr : buffer.data();
    urb.buffer_length = c.bufferLength;
    EXPECT_EQ(Errno(USBDEVFS_SUBMITURB, &urb), c.expected);
    void* reaped = nullptr;
    EXPECT_EQ(Errno(USBDEVFS_REAPURBNDELAY, &reaped), EAGAIN);
    EXPECT_EQ(host_.Model(index_)->RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Urbs, UsbfsMalformedUrb,
    testing::Values(MalformedUrb{.name = "Bulk", .type = USBDEVFS_URB_TYPE_BULK},
                    MalformedUrb{.name = "OtherEndpoint", .endpoint = 0x81},
                    MalformedUrb{.name = "ShorterThanASetupPacket", .bufferLength = 7},
                    MalformedUrb{.name = "NegativeLength", .bufferLength = -1},
                    MalformedUrb{.name = "DataStagePastTheBuffer", .bufferLength = 8 + 63},
                    MalformedUrb{.name = "BufferOverTheLimit", .bufferLength = 8 + 4097},
                    MalformedUrb{.name = "NullBuffer", .nullBuffer = true, .expected = EFAULT}),
    [](const testing::TestParamInfo<MalformedUrb>& info) { return info.param.name; });

TEST_F(UsbfsRawTest, SynchronousControlAndTheOtherRequests) {
    std::vector<std::uint8_t> chunk(ChunkSize);
    usbdevfs_ctrltransfer read{kVendorIn, CommandReadFlash, 0x50, 0x40, 64, 1000, chunk.data()};
    ASSERT_EQ(::ioctl(fd_, USBDEVFS_CONTROL, &read), 64);
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), PatternFlash().begin() + 0x40));
    usbdevfs_ctrltransfer refused{kVendorIn, 0xBC, 0x50, 0, 64, 1000, chunk.data()};
    EXPECT_EQ(Errno(USBDEVFS_CONTROL, &refused), EPIPE);
    usbdevfs_ctrltransfer noData{kVendorIn, CommandReadFlash, 0x50, 0, 64, 1000, nullptr};
    EXPECT_EQ(Errno(USBDEVFS_CONTROL, &noData), EFAULT);

    EXPECT_EQ(::ioctl(fd_, USBDEVFS_GET_SPEED, nullptr), 3);  // high speed
    usbdevfs_conninfo_ex info{};
    ASSERT_EQ(::ioctl(fd_, USBDEVFS_CONNINFO_EX(sizeof info), &info), 0);
    EXPECT_EQ(info.busnum, host_.BusNumber(index_));
    EXPECT_EQ(info.devnum, host_.Address(index_));
    unsigned interface = 0;
    EXPECT_EQ(Errno(USBDEVFS_CLAIMINTERFACE, &interface), 0);
    interface = 1;
    EXPECT_EQ(Errno(USBDEVFS_CLAIMINTERFACE, &interface), ENOENT);
    usbdevfs_getdriver driver{};
    EXPECT_EQ(Errno(USBDEVFS_GETDRIVER, &driver), ENODATA);
    EXPECT_EQ(Errno(USBDEVFS_DISCARDURB, nullptr), EINVAL);
    usbdevfs_hub_portinfo ports{};
    EXPECT_EQ(Errno(USBDEVFS_HUB_PORTINFO, &ports), ENOTTY);

    host_.Unplug(index_);
    EXPECT_EQ(Errno(USBDEVFS_CONTROL, &read), ENODEV);
    EXPECT_EQ(Errno(USBDEVFS_CLAIMINTERFACE, &interface), ENODEV);
    void* reaped = nullptr;
    EXPECT_EQ(Errno(USBDEVFS_REAPURBNDELAY, &reaped), ENODEV);
}

TEST_F(UsbfsRawTest, CompletedRequestsCanBeCollectedAfterAnUnplug) {
    std::vector<std::uint8_t> buffer(8 + ChunkSize);
    const std::uint8_t setup[8] = {kVendorIn, CommandReadFlash, 0x50, 0, 0, 0, 64, 0};
    std::memcpy(buffer.data(), setup, sizeof setup);
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    ASSERT_EQ(Errno(USBDEVFS_SUBMITURB, &urb), 0);
    host_.Unplug(index_);
    void* reaped = nullptr;
    ASSERT_EQ(Errno(USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(reaped, &urb);
    EXPECT_EQ(urb.status, 0);
    EXPECT_EQ(urb.actual_length, 64);
    EXPECT_TRUE(std::equal(buffer.begin() + 8, buffer.end(), PatternFlash().begin()));
    EXPECT_EQ(Errno(USBDEVFS_REAPURBNDELAY, &reaped), ENODEV);
}

TEST_F(UsbfsRawTest, AClientThatNeverCollectsIsRefusedMoreSubmissions) {
    constexpr std::size_t kCount = kMaxUncollected + 1;
    std::vector<std::array<std::uint8_t, 8 + ChunkSize>> buffers(kCount);
    std::vector<usbdevfs_urb> urbs(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        buffers[i] = {kVendorIn, CommandReadFlash, 0x50, 0, 0, 0, ChunkSize, 0};
        urbs[i].type = USBDEVFS_URB_TYPE_CONTROL;
        urbs[i].buffer = buffers[i].data();
        urbs[i].buffer_length = static_cast<int>(buffers[i].size());
    }
    for (std::size_t i = 0; i < kMaxUncollected; ++i) {
        ASSERT_EQ(Errno(USBDEVFS_SUBMITURB, &urbs[i]), 0) << i;
    }
    EXPECT_EQ(Errno(USBDEVFS_SUBMITURB, &urbs.back()), ENOMEM);
    void* reaped = nullptr;
    ASSERT_EQ(Errno(USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(reaped, &urbs.front());
    EXPECT_EQ(Errno(USBDEVFS_SUBMITURB, &urbs.back()), 0);
    EXPECT_EQ(host_.Model(index_)->RequestCount(), kCount);
}

TEST_F(UsbHostTest, WrappedFileDescriptorWorksLikeAnOpenedDevice) {
    index_ = host_.Plug(kIds, MakeModel());
    const int fd = ::open(host_.DeviceNode(index_).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    libusb_device_handle* raw = nullptr;
    ASSERT_EQ(libusb_wrap_sys_device(usb_.get(), fd, &raw), 0);
    UsbHandle h(raw);
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h.get()), &dd), 0);
    EXPECT_EQ(dd.idProduct, kIds.product);
    std::vector<std::uint8_t> chunk(ChunkSize);
    EXPECT_EQ(UsbRead(h.get(), 0, chunk), static_cast<int>(ChunkSize));
    h.reset();
    ::close(fd);
}

}  // namespace
}  // namespace sovra::sim
