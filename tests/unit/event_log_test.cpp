#include "app/event_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/log_receiver.h"

namespace sovra {
namespace {

// A log daemon of our own that leaves the process's log alone.
struct LogReceiver : testing::LogReceiver {
    LogReceiver() : testing::LogReceiver(/*redirectProcess=*/false) { EXPECT_TRUE(Bound()); }
};

struct ParsedEntry {
    int priority = -1;
    std::string tag;
    long pid = -1;
    std::string text;
};

std::optional<ParsedEntry> Parse(const std::string& datagram) {
    static const std::regex kForm(
        R"(^<(\d+)>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d )"
        R"([012]\d:[0-5]\d:[0-6]\d ([^ \[]+)\[(\d+)\]: (.*)$)");
    std::smatch m;
    if (!std::regex_match(datagram, m, kForm)) {
        return std::nullopt;
    }
    ParsedEntry e;
    e.priority = std::stoi(m[1]);
    e.tag = m[3];
    e.pid = std::stol(m[4]);
    e.text = m[5];
    return e;
}

// The entries as the program's history has them, in table order.
struct ExpectedEntry {
    int type;
    int priority;  // facility user (8) + severity
    const char* text;
};

constexpr ExpectedEntry kExpected[] = {
    {4, 8 + 6, "SovRa firware update utility started."},
    {1, 8 + 3, "Error getting selected device."},
    {1, 8 + 3, "Error loading device data."},
    {1, 8 + 3, "Error getting selected firmware."},
    {1, 8 + 3, "Error loading firmware data."},
    {1, 8 + 3, "Error opening device object."},
    {1, 8 + 3, "Error reading firmware data file."},
    {4, 8 + 6, "Firware update started."},
    {4, 8 + 6, "Load Stage 1 of 3."},
    {4, 8 + 6, "Load Stage 2 of 3."},
    {4, 8 + 6, "Load Stage 3 of 3."},
    {0, 8 + 5, "Firmware is updated in SovRa 01.00."},
};

// The twelve entries of the trail, in kExpected's order.
constexpr SystemEvent kTrail[] = {
    kEventUtilityStarted,
    kEventErrorGettingDevice,
    kEventErrorLoadingDevice,
    kEventErrorGettingFirmware,
    kEventErrorLoadingFirmware,
    kEventErrorOpeningDevice,
    kEventErrorReadingFirmwareFile,
    kEventUpdateStarted,
    kEventStage1,
    kEventStage2,
    kEventStage3,
    kEventFirmwareUpdated,
};

class SystemEventTableTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SystemEventTableTest, ConstantMatchesTableAndArrivesAsOneDatagram) {
    const std::size_t i = GetParam();
    const ExpectedEntry& want = kExpected[i];
    const SystemEvent& event = kTrail[i];
    EXPECT_EQ(static_cast<int>(event.type), want.type);
    EXPECT_EQ(event.text, want.text);

    LogReceiver receiver;
    ReportSystemEventTo(receiver.Path().c_str(), event.type, event.text);
    const std::optional<std::string> datagram = receiver.Next();
    ASSERT_TRUE(datagram.has_value());
    const std::optional<ParsedEntry> entry = Parse(*datagram);
    ASSERT_TRUE(entry.has_value()) << *datagram;
    EXPECT_EQ(entry->priority, want.priority);
    EXPECT_EQ(entry->tag, "sovra-firmware-update");
    EXPECT_EQ(entry->pid, static_cast<long>(::getpid()));
    EXPECT_EQ(entry->text, want.text);
    EXPECT_FALSE(receiver.Next().has_value()) << "more than one datagram for one call";
}

INSTANTIATE_TEST_SUITE_P(AllTwelve, SystemEventTableTest, ::testing::Range<std::size_t>(0, 12));

TEST(EventLogTest, NamedConstantsAreTheTableRows) {
    EXPECT_EQ(kEventUtilityStarted.text, kExpected[0].text);
    EXPECT_EQ(kEventErrorReadingFirmwareFile.text, kExpected[6].text);
    EXPECT_EQ(kEventUpdateStarted.text, kExpected[7].text);
    EXPECT_EQ(kEventStage3.text, kExpected[10].text);
    EXPECT_EQ(kEventFirmwareUpdated.type, EVENTLOG_SUCCESS);
}

TEST(EventLogTest, OverrideRedirectsThePlainCall) {
    LogReceiver receiver;
    LogReceiver later;
    OverrideSystemLogSocket(receiver.Path());
    ReportSystemEvent(kEventStage2);
    ReportSystemEvent(EVENTLOG_ERROR_TYPE, "Error loading device data.");
    OverrideSystemLogSocket(later.Path());
    ReportSystemEvent(kEventStage3);
    OverrideSystemLogSocket("");

    const auto first = receiver.Next();
    const auto second = receiver.Next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(Parse(*first)->text, "Load Stage 2 of 3.");
    EXPECT_EQ(Parse(*second)->priority, 8 + 3);
    EXPECT_FALSE(receiver.Next().has_value());
    const auto third = later.Next();
    ASSERT_TRUE(third);
    EXPECT_EQ(Parse(*third)->text, "Load Stage 3 of 3.");
}

// The text arrives as given, whatever it looks like; the kind of entry is
// told by the priority alone, and the tag is the process's.
TEST(EventLogTest, TextAsGivenKindInThePriorityTagAsSet) {
    struct Case {
        const char* tag;  // set before the entry; null: the default
        EventType type;
        std::string text;
        int priority;
        const char* seenTag;
        const char* seenText = nullptr;  // null: the text as given
    };
    const Case cases[] = {
        {nullptr, EVENTLOG_WARNING_TYPE, "/dev/bus/usb/001/002: read back twice.", 8 + 4,
         "sovra-firmware-update"},
        {"sovra-flash", EVENTLOG_SUCCESS, "[event type 4] not a prefix", 8 + 5, "sovra-flash"},
        {"sovra-flash", EVENTLOG_INFORMATION_TYPE, "", 8 + 6, "sovra-flash"},
        {"", EVENTLOG_ERROR_TYPE, "a: b]: c", 8 + 3, "sovra-firmware-update"},
        // A file name from a catalogue cannot start a second entry or reach
        // a terminal reading the log.
        {"", EVENTLOG_ERROR_TYPE, "'bf\nx.img' \x1b[2Jgone.", 8 + 3, "sovra-firmware-update",
         "'bf\\x0ax.img' \\x1b[2Jgone."},
    };
    for (const Case& c : cases) {
        if (c.tag != nullptr) {
            SetSystemLogTag(c.tag);
        }
        LogReceiver receiver;
        ReportSystemEventTo(receiver.Path().c_str(), c.type, c.text);
        const auto datagram = receiver.Next();
        ASSERT_TRUE(datagram.has_value()) << c.text;
        const auto entry = Parse(*datagram);
        ASSERT_TRUE(entry.has_value()) << *datagram;
        EXPECT_EQ(entry->priority, c.priority) << *datagram;
        EXPECT_EQ(entry->tag, c.seenTag) << *datagram;
        EXPECT_EQ(entry->text, c.seenText != nullptr ? c.seenText : c.text) << *datagram;
    }
    SetSystemLogTag("");
}

// Every way there can be no one listening: the call returns, throws nothing
// and leaves errno as it was.
TEST(EventLogTest, NoListenerDropsTheEntrySilently) {
    LogReceiver receiver;  // for its folder
    const std::string regularFile = receiver.Dir() + "/plain";
    FILE* f = std::fopen(regularFile.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const std::string tooLong(200, 'x');
    for (const std::string& path :
         {receiver.Dir() + "/nothing-here", regularFile, receiver.Dir(), tooLong, std::string()}) {
        errno = 12345;
        EXPECT_NO_THROW(ReportSystemEventTo(path.c_str(), EVENTLOG_ERROR_TYPE, "x")) << path;
        EXPECT_EQ(errno, 12345) << path;
    }
    EXPECT_NO_THROW(ReportSystemEventTo(nullptr, EVENTLOG_ERROR_TYPE, "x"));
    ::unlink(regularFile.c_str());
}

// A log daemon that stops reading must not hold up the program: once its
// queue is full the entry is dropped and the call returns.
TEST(EventLogTest, FullQueueDropsTheEntryWithoutBlocking) {
    LogReceiver receiver;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    receiver.Path().copy(addr.sun_path, sizeof addr.sun_path - 1);

    // A single sender can run out of its own send buffer before the
    // receiver's queue is full, so keep opening fresh senders until even a
    // fresh one is refused.
    std::vector<int> fillers;
    bool full = false;
    for (int round = 0; round < 10000 && !full; ++round) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        int sentHere = 0;
        for (;;) {
            if (::send(fd, "filler", 6, MSG_DONTWAIT) < 0) {
                ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
                break;
            }
            ++sentHere;
        }
        full = sentHere == 0;
    }
    ASSERT_TRUE(full);

    ReportSystemEventTo(receiver.Path().c_str(), EVENTLOG_INFORMATION_TYPE, "dropped");

    for (int fd : fillers) {
        ::close(fd);
    }
    int drained = 0;
    while (const auto datagram = receiver.Next()) {
        EXPECT_EQ(*datagram, "filler");
        ++drained;
    }
    EXPECT_GT(drained, 0);
}

// A journal datagram as field name -> value, reading both of the journal's
// forms: NAME=value lines and NAME, a 64-bit length and the bytes.
std::map<std::string, std::string> JournalFields(const std::string& d) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < d.size()) {
        const std::size_t end = d.find('\n', at);
        const std::size_t eq = d.find('=', at);
        if (end == std::string::npos) {
            break;
        }
        if (eq < end) {
            fields[d.substr(at, eq - at)] = d.substr(eq + 1, end - eq - 1);
            at = end + 1;
            continue;
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(d.at(end + 1 + i));
        }
        fields[d.substr(at, end - at)] = d.substr(end + 9, length);
        at = end + 9 + length + 1;
    }
    return fields;
}

// Where the journal listens it gets the entry, with the same text and
// priority and the fields; where it does not, the system log gets it as
// before. A system log set for a test keeps the host's journal out.
TEST(EventLogTest, JournalGetsTheEntryWithItsFieldsElseTheSystemLog) {
    LogReceiver syslog;
    LogReceiver journal;
    OverrideSystemLogSocket(syslog.Path());
    const EventContext context{
        "u-1f2e", "SN42", "/dev/bus/usb/001/002", "/srv/fw one.img", std::string(64, 'a'),
        "success"};

    ReportDeviceEvent("/dev/bus/usb/001/002", kEventFirmwareUpdated, context);
    EXPECT_FALSE(journal.Next().has_value()) << "the journal was used without being named";
    ASSERT_TRUE(syslog.Next().has_value());

    OverrideJournalSocket(journal.Path());
    ReportDeviceEvent("/dev/bus/usb/001/002", kEventFirmwareUpdated, context);
    ReportSystemEvent(kEventFailureReason, "two\nlines");
    OverrideJournalSocket(journal.Dir() + "/nobody");
    ReportSystemEvent(kEventStage1);
    OverrideJournalSocket("");
    OverrideSystemLogSocket("");

    const auto updated = journal.Next();
    ASSERT_TRUE(updated.has_value());
    const std::map<std::string, std::string> want{
        {"MESSAGE", "/dev/bus/usb/001/002: Firmware is updated in SovRa 01.00."},
        {"PRIORITY", "5"},
        {"SYSLOG_FACILITY", "1"},
        {"SYSLOG_IDENTIFIER", "sovra-firmware-update"},
        {"SYSLOG_PID", std::to_string(::getpid())},
        {"MESSAGE_ID", std::string(kEventFirmwareUpdated.messageId)},
        {"SOVRA_UNIT", "u-1f2e"},
        {"SOVRA_SERIAL", "SN42"},
        {"SOVRA_DEVICE", "/dev/bus/usb/001/002"},
        {"SOVRA_FIRMWARE", "/srv/fw one.img"},
        {"SOVRA_FIRMWARE_SHA256", std::string(64, 'a')},
        {"SOVRA_RESULT", "success"},
    };
    EXPECT_EQ(JournalFields(*updated), want);

    const auto reason = journal.Next();
    ASSERT_TRUE(reason.has_value());
    const auto fields = JournalFields(*reason);
    EXPECT_EQ(fields.at("MESSAGE"), "two\nlines");
    EXPECT_EQ(fields.at("PRIORITY"), "3");
    EXPECT_EQ(fields.count("SOVRA_DEVICE"), 0u) << "an empty field is left out";

    EXPECT_FALSE(journal.Next().has_value());
    const auto fallback = syslog.Next();
    ASSERT_TRUE(fallback.has_value());
    EXPECT_NE(fallback->find("]: Load Stage 1 of 3."), std::string::npos) << *fallback;
    EXPECT_FALSE(syslog.Next().has_value());
}

// Every kind of entry has its own fixed MESSAGE_ID, as journalctl wants it.
TEST(EventLogTest, EveryKindHasItsOwnMessageId) {
    std::vector<SystemEvent> kinds(std::begin(kTrail), std::end(kTrail));
    kinds.insert(kinds.end(), {kEventUpdateFailed, kEventAlreadyCurrent, kEventRestoreStarted,
                               kEventFlashRestored, kEventRestoreFailed, kEventFailureReason,
                               kEventReadBackWarning, kEventHistoryWarning, kEventCatalogueRead});
    std::set<std::string_view> seen;
    for (const SystemEvent& e : kinds) {
        EXPECT_TRUE(std::regex_match(std::string(e.messageId), std::regex("[0-9a-f]{32}")))
            << e.text;
        EXPECT_TRUE(seen.insert(e.messageId).second) << "shared MESSAGE_ID: " << e.messageId;
    }
}

}  // namespace
}  // namespace sovra
