#include "device/device_control.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "device/usb_channel.h"

namespace sovra {
namespace {

// --- Device node parsing and the transport's status mapping -------------------

struct NodeCase {
    const char* path;
    std::optional<std::pair<int, int>> want;
};

class NodeTest : public ::testing::TestWithParam<NodeCase> {};

TEST_P(NodeTest, BusAndAddress) {
    const auto got = ParseUsbDeviceNode(GetParam().path);
    ASSERT_EQ(got.has_value(), GetParam().want.has_value()) << GetParam().path;
    if (got) {
        EXPECT_EQ(got->bus, GetParam().want->first);
        EXPECT_EQ(got->address, GetParam().want->second);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NodeTest,
                         ::testing::Values(NodeCase{"/dev/bus/usb/001/002", std::pair{1, 2}},
                                           NodeCase{"/dev/bus/usb/255/127", std::pair{255, 127}},
                                           NodeCase{"/dev/bus/usb/3/7", std::pair{3, 7}},
                                           NodeCase{"/dev/bus/usb/000/002", std::nullopt},
                                           NodeCase{"/dev/bus/usb/001/000", std::nullopt},
                                           NodeCase{"/dev/bus/usb/256/002", std::nullopt},
                                           NodeCase{"/dev/bus/usb/001/128", std::nullopt},
                                           NodeCase{"/dev/bus/usb/0001/002", std::nullopt},
                                           NodeCase{"/dev/bus/usb/001/002/", std::nullopt},
                                           NodeCase{"/dev/bus/usb/001", std::nullopt},
                                           NodeCase{"/dev/bus/usb/-01/002", std::nullopt},
                                           NodeCase{"/dev/bus/usb/001/../002", std::nullopt},
                                           NodeCase{"/dev/sda", std::nullopt},
                                           NodeCase{"", std::nullopt}));

TEST(DeviceControlTest, APathThatIsNotAUsbNodeIsNotBound) {
    const DeviceControl c = OpenDeviceControl({0xABC, 0x10, 0x102, "/dev/null"});
    EXPECT_EQ(c.error.Code(), E_DEVICE_GONE);
    EXPECT_EQ(c.channel, nullptr);
    EXPECT_FALSE(c.error.What().empty());
}

struct TransferCase {
    int result;
    std::size_t expected;
    Status want;
};

class TransferStatusTest : public ::testing::TestWithParam<TransferCase> {};

TEST_P(TransferStatusTest, Maps) {
    EXPECT_EQ(StatusFromControlTransfer(GetParam().result, GetParam().expected), GetParam().want);
}

// libusb's error numbers, as its header fixes them.
constexpr int kIo = -1, kNoDevice = -4, kTimeout = -7, kOverflow = -8, kPipe = -9, kOther = -99;

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferStatusTest,
    ::testing::Values(TransferCase{64, 64, S_OK}, TransferCase{1, 1, S_OK},
                      TransferCase{0, 0, S_OK}, TransferCase{63, 64, E_DEVICE_SHORT},
                      TransferCase{0, 64, E_DEVICE_SHORT}, TransferCase{65, 64, E_DEVICE_IO},
                      TransferCase{kTimeout, 64, E_DEVICE_TIMEOUT},
                      TransferCase{kPipe, 64, E_DEVICE_STALL},
                      TransferCase{kNoDevice, 64, E_DEVICE_GONE},
                      TransferCase{kIo, 64, E_DEVICE_IO}, TransferCase{kOverflow, 64, E_DEVICE_IO},
                      TransferCase{kOther, 64, E_DEVICE_IO}));

}  // namespace
}  // namespace sovra
