// Each open file of a virtual device's node is a client of its own: it
// reaps its own URBs, in the order it submitted them, each with its own
// answer; it alone holds the interface it claimed, until it lets go; and
// what a closed file left behind (requests it never collected, the
// connection it was opened on, its claim) never reaches a file opened after
// it, however the testbed reuses its objects.

#include "sim/usb_host.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "flash/flash_command.h"

namespace sovra::sim {
namespace {

const sim::UsbIds kIds{0x0abc, 0x0010, 0x0102};

using Buffer = std::array<std::uint8_t, 8 + ChunkSize>;

usbdevfs_urb ReadUrb(Buffer& buffer, std::uint16_t address = 0) {
    buffer = {kVendorIn,
              CommandReadFlash,
              0x50,
              0,
              static_cast<std::uint8_t>(address & 0xFF),
              static_cast<std::uint8_t>(address >> 8),
              ChunkSize,
              0};
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    return urb;
}

int Errno(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg) < 0 ? errno : 0;
}

TEST(UsbfsClientsTest, WhatAClosedFileLeftIsNeverHandedToALaterOne) {
    UsbHost host;
    host.Plug(kIds, std::make_shared<BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x11)));
    // Several rounds, since a later file may or may not be given the object
    // an earlier one had.
    constexpr int kRounds = 8;
    std::vector<Buffer> buffers(kRounds);
    std::vector<usbdevfs_urb> urbs(kRounds);
    for (int round = 0; round < kRounds; ++round) {
        const int fd = ::open(host.DeviceNode(0).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        // Nothing from the files before: a URB from another file would be
        // written back into memory this one never gave.
        void* reaped = nullptr;
        EXPECT_EQ(Errno(fd, USBDEVFS_REAPURBNDELAY, &reaped), EAGAIN) << "round " << round;
        EXPECT_EQ(reaped, nullptr);
        urbs[round] = ReadUrb(buffers[round]);
        ASSERT_EQ(Errno(fd, USBDEVFS_SUBMITURB, &urbs[round]), 0);
        ::close(fd);  // leaving the URB uncollected
    }
}

TEST(UsbfsClientsTest, EachFileReapsItsOwnUrbsInOrderWithTheirOwnAnswers) {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>(i / ChunkSize);
    }
    UsbHost host;
    host.Plug(kIds, std::make_shared<BeamformerModel>(flash));
    const int a = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    const int b = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // Submitted in turn, collected later: each URB is answered into its
    // own buffer, and only when it is reaped.
    struct Submitted {
        int fd;
        std::uint16_t address;
    };
    const std::vector<Submitted> order = {{a, 0}, {b, 64}, {a, 128}, {b, 192}, {a, 256}};
    std::vector<Buffer> buffers(order.size());
    std::vector<usbdevfs_urb> urbs(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        urbs[i] = ReadUrb(buffers[i], order[i].address);
        ASSERT_EQ(Errno(order[i].fd, USBDEVFS_SUBMITURB, &urbs[i]), 0) << i;
        EXPECT_EQ(buffers[i][8], 0) << "answered before it was reaped: " << i;
    }
    for (const int fd : {b, a}) {
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (order[i].fd != fd) {
                continue;
            }
            void* reaped = nullptr;
            ASSERT_EQ(Errno(fd, USBDEVFS_REAPURBNDELAY, &reaped), 0) << i;
            ASSERT_EQ(reaped, &urbs[i]);
            EXPECT_EQ(urbs[i].status, 0);
            EXPECT_EQ(urbs[i].actual_length, static_cast<int>(ChunkSize));
            EXPECT_TRUE(std::all_of(buffers[i].begin() + 8, buffers[i].end(), [&](std::uint8_t v) {
                return v == order[i].address / 64;
            })) << i;
        }
        void* none = nullptr;
        EXPECT_EQ(Errno(fd, USBDEVFS_REAPURBNDELAY, &none), EAGAIN);
    }
    ::close(a);
    ::close(b);
}

TEST(UsbfsClientsTest, AFileOpenedAfterAReplugIsServed) {
    UsbHost host;
    host.Plug(kIds, std::make_shared<BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x22)));
    Buffer buffer;
    for (int round = 0; round < 4; ++round) {
        // A file closed while the device was away may share its object with
        // the next file; that file belongs to the device now plugged in.
        const int old = ::open(host.DeviceNode(0).c_str(), O_RDWR);
        ASSERT_GE(old, 0);
        host.Unplug(0);
        ::close(old);
        host.Replug(0);
        const int fd = ::open(host.DeviceNode(0).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        usbdevfs_urb urb = ReadUrb(buffer);
        EXPECT_EQ(Errno(fd, USBDEVFS_SUBMITURB, &urb), 0) << "round " << round;
        ::close(fd);
    }
}

// How a file's claim on the interface ends, so that another file may claim
// it: each way is followed by a claim from a file that was refused before
// (or, after an unplug, from a file opened after the replug).
struct ClaimEnd {
    const char* name;
    void (*end)(UsbHost& host, int& holder);
};

class UsbfsClaims : public testing::TestWithParam<ClaimEnd> {};

TEST_P(UsbfsClaims, OneFileHoldsTheInterfaceUntilItLetsGo) {
    UsbHost host;
    host.Plug(kIds, std::make_shared<BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x33)));
    int holder = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    int other = ::open(host.DeviceNode(0).c_str(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_GE(other, 0);
    unsigned interface = 0;
    ASSERT_EQ(Errno(holder, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    EXPECT_EQ(Errno(holder, USBDEVFS_CLAIMINTERFACE, &interface), 0);  // its own, again
    EXPECT_EQ(Errno(other, USBDEVFS_CLAIMINTERFACE, &interface), EBUSY);
    usbdevfs_disconnect_claim takeOver{};
    EXPECT_EQ(Errno(other, USBDEVFS_DISCONNECT_CLAIM, &takeOver), EBUSY);
    EXPECT_EQ(Errno(other, USBDEVFS_RELEASEINTERFACE, &interface), EINVAL);
    // Requests to the device itself need no claim.
    Buffer buffer;
    usbdevfs_urb urb = ReadUrb(buffer);
    EXPECT_EQ(Errno(other, USBDEVFS_SUBMITURB, &urb), 0);

    GetParam().end(host, holder);
    if (!host.Plugged(0)) {
        ::close(other);
        host.Replug(0);
        other = ::open(host.DeviceNode(0).c_str(), O_RDWR);
        ASSERT_GE(other, 0);
    }
    EXPECT_EQ(Errno(other, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    EXPECT_EQ(Errno(other, USBDEVFS_RELEASEINTERFACE, &interface), 0);
    if (holder >= 0) {
        ::close(holder);
    }
    ::close(other);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, UsbfsClaims,
    testing::Values(ClaimEnd{"Release",
                             [](UsbHost&, int& holder) {
                                 unsigned interface = 0;
                                 EXPECT_EQ(Errno(holder, USBDEVFS_RELEASEINTERFACE, &interface), 0);
                             }},
                    // A program that exits without letting go: the kernel
                    // lets go as the file closes, before the next claim.
                    ClaimEnd{"Close",
                             [](UsbHost&, int& holder) {
                                 ::close(holder);
                                 holder = -1;
                             }},
                    ClaimEnd{"Unplug", [](UsbHost& host, int&) { host.Unplug(0); }}),
    [](const testing::TestParamInfo<ClaimEnd>& info) { return info.param.name; });

}  // namespace
}  // namespace sovra::sim
