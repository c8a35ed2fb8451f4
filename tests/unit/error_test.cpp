#include "app/error.h"

#include <gtest/gtest.h>

namespace sovra {
namespace {

TEST(Error, ContextIsPrefixedOnTheWayUpAndMadeASentenceOnce) {
    Error e(E_DEVICE_STALL);
    EXPECT_EQ(e.What(), "the device refused a request");
    e.Within("reading the flash at address 0x01880 (chunk 18 of 4096)");
    const Error up = std::move(e).Within("updating /dev/bus/usb/001/002");
    EXPECT_EQ(up.Code(), E_DEVICE_STALL);
    EXPECT_EQ(up.Sentence(),
              "Updating /dev/bus/usb/001/002: reading the flash at address 0x01880 (chunk 18 of "
              "4096): the device refused a request.");
}

TEST(Error, SuccessCarriesNoText) {
    EXPECT_FALSE(Error().Failed());
    EXPECT_FALSE(Error(S_OK).Failed());
    EXPECT_EQ(Error(S_OK).What(), "");
}

TEST(Error, ClausesAndSentences) {
    const struct {
        const char* text;
        const char* clause;
        const char* sentence;
    } rows[] = {
        {"The device was disconnected.", "the device was disconnected",
         "The device was disconnected."},
        {"USB transfer failed", "USB transfer failed", "USB transfer failed."},
        {"cannot open 'a.img': No such file", "cannot open 'a.img': No such file",
         "Cannot open 'a.img': No such file."},
        {"is it there?", "is it there?", "Is it there?"},
        {"", "", ""},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(AsClause(r.text), r.clause) << r.text;
        EXPECT_EQ(AsSentence(r.text), r.sentence) << r.text;
    }
}

}  // namespace
}  // namespace sovra
