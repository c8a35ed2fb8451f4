#pragma once
// The program's trail in the system log: its milestones and every refusal
// of Start Update, as fixed one-line entries. Each entry is one syslog
// datagram to the local log socket carrying the text exactly as given; the
// kind of entry travels in the priority. The desktop application writes
// under the tag "sovra-firmware-update", sovra-flash under its own (see
// SetSystemLogTag), so `journalctl -t TAG` tells the two apart.
//
// Where the systemd journal listens, an entry goes to it instead, with the
// same text, priority and tag, and with fields a site can query across its
// stations: a fixed MESSAGE_ID per kind of entry, and what the entry is about
// (EventContext), such as `journalctl SOVRA_FIRMWARE_SHA256=...`.
//
// Reporting never changes the program's flow: no log daemon, a full queue
// or any other failure drops the entry without a word, and no call blocks.
// Nothing is kept between calls (but a test's redirection, below); any
// thread may report.

#include <cstdint>
#include <string>
#include <string_view>

namespace sovra {

// The kinds of entry the program writes, with their traditional numbers;
// SyslogPriority gives each its own severity.
enum EventType : std::uint16_t {
    EVENTLOG_SUCCESS = 0,
    EVENTLOG_ERROR_TYPE = 1,
    EVENTLOG_WARNING_TYPE = 2,  // only in entries of our own: an update that goes on, warned
    EVENTLOG_INFORMATION_TYPE = 4,
};

struct SystemEvent {
    EventType type;
    std::string_view text;
    // The journal's MESSAGE_ID of this kind of entry: 32 hexadecimal digits,
    // never changed once released.
    std::string_view messageId;
};

// What an entry is about, for the journal's fields; an empty one is left out.
struct EventContext {
    std::string unit;            // SOVRA_UNIT: the unit's fingerprint
    std::string serial;          // SOVRA_SERIAL: its USB serial number
    std::string device;          // SOVRA_DEVICE: the device node
    std::string firmware;        // SOVRA_FIRMWARE: the firmware (or dump) file's path
    std::string firmwareSha256;  // SOVRA_FIRMWARE_SHA256: its digest
    std::string result;          // SOVRA_RESULT: "success" or "failure", on an outcome
};

// The twelve entries of the program's trail; kEventUpdateFailed below is the
// only other one it writes.
inline constexpr SystemEvent kEventUtilityStarted{EVENTLOG_INFORMATION_TYPE,
                                                  "SovRa firware update utility started.",
                                                  "4095d0e4bfde4a11a115046970f606c4"};
inline constexpr SystemEvent kEventErrorGettingDevice{
    EVENTLOG_ERROR_TYPE, "Error getting selected device.", "bab2104fbfea4d41af28c9e597fbf7a8"};
inline constexpr SystemEvent kEventErrorLoadingDevice{
    EVENTLOG_ERROR_TYPE, "Error loading device data.", "972f34a3f6df4171bccaec878e46cd36"};
inline constexpr SystemEvent kEventErrorGettingFirmware{
    EVENTLOG_ERROR_TYPE, "Error getting selected firmware.", "ec6070506ecf43b4902ce638b102751d"};
inline constexpr SystemEvent kEventErrorLoadingFirmware{
    EVENTLOG_ERROR_TYPE, "Error loading firmware data.", "7d56a52f350f4ac0bcf98777aa801f00"};
inline constexpr SystemEvent kEventErrorOpeningDevice{
    EVENTLOG_ERROR_TYPE, "Error opening device object.", "f2c78d28155a49538dde641291d69444"};
inline constexpr SystemEvent kEventErrorReadingFirmwareFile{
    EVENTLOG_ERROR_TYPE, "Error reading firmware data file.", "d34b1399cf084219b06fb3c3b630c156"};
// "Firware" is the entry's own spelling, kept on purpose: log searches and
// monitoring rules written against it must go on matching. Do not correct it.
inline constexpr SystemEvent kEventUpdateStarted{
    EVENTLOG_INFORMATION_TYPE, "Firware update started.", "d837498e4c05463f9083abdfcf926b1d"};
inline constexpr SystemEvent kEventStage1{EVENTLOG_INFORMATION_TYPE, "Load Stage 1 of 3.",
                                          "dc76682b55c34c4583cd82b0f98dbc57"};
inline constexpr SystemEvent kEventStage2{EVENTLOG_INFORMATION_TYPE, "Load Stage 2 of 3.",
                                          "250052c95afd4223ad9f529eb4df7d1a"};
inline constexpr SystemEvent kEventStage3{EVENTLOG_INFORMATION_TYPE, "Load Stage 3 of 3.",
                                          "8b987f92a3a8425897d7a0de7df6608a"};
inline constexpr SystemEvent kEventFirmwareUpdated{
    EVENTLOG_SUCCESS, "Firmware is updated in SovRa 01.00.", "9ee535d929cb443b92a43c81f0ab6018"};

// Written instead of kEventFirmwareUpdated when an update failed or was
// refused before it began: the log must never call a failed update a
// success.
inline constexpr SystemEvent kEventUpdateFailed{EVENTLOG_ERROR_TYPE, "Error updating device.",
                                                "48e8f55db4b54aa49a001a8e950df077"};

// Written instead of kEventFirmwareUpdated when the device already held the
// firmware and nothing was written.
inline constexpr SystemEvent kEventAlreadyCurrent{EVENTLOG_INFORMATION_TYPE,
                                                  "The device already holds this firmware.",
                                                  "1be76d69656b468f89012fc0c31d307a"};

// A restore writes a saved flash back as it is; it is never logged as an
// update of the firmware.
inline constexpr SystemEvent kEventRestoreStarted{
    EVENTLOG_INFORMATION_TYPE, "Flash restore started.", "f1347c0ae64748deb5fe72fd2b9448ad"};
inline constexpr SystemEvent kEventFlashRestored{
    EVENTLOG_SUCCESS, "Flash of SovRa beamformer is restored.", "e21e533da68f406eb9b544933bdec0f7"};
inline constexpr SystemEvent kEventRestoreFailed{EVENTLOG_ERROR_TYPE, "Error restoring device.",
                                                 "e77bbbf3d34f4092b1c55d6942a6d34a"};

// Kinds of entry whose text is made when written: why an update failed, a
// warning it went on past, and which catalogue the desktop application read.
inline constexpr SystemEvent kEventFailureReason{EVENTLOG_ERROR_TYPE, "",
                                                 "999ecd2d8c0a4d35a55c61637ea4a535"};
inline constexpr SystemEvent kEventReadBackWarning{EVENTLOG_WARNING_TYPE, "",
                                                   "c303dda284c049e28f1fd22d80ae2b0c"};
inline constexpr SystemEvent kEventHistoryWarning{EVENTLOG_WARNING_TYPE, "",
                                                  "a2aeb19f53a64d079b926d171068cbed"};
inline constexpr SystemEvent kEventCatalogueRead{EVENTLOG_INFORMATION_TYPE, "",
                                                 "247c09173a5d483e8914d6adef866364"};

inline constexpr const char* kSystemLogSocket = "/dev/log";
inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
// Names another journal socket for this process and the programs it starts;
// set and empty, no journal is used. The virtual beamformer's launcher sets it
// to catch what the programs it runs write.
inline constexpr const char* kJournalSocketVariable = "SOVRA_JOURNAL_SOCKET";
// The tag entries carry unless the program sets another.
inline constexpr const char* kSystemLogTag = "sovra-firmware-update";

// The tag of every later entry of this process, a program name such as
// "sovra-flash"; an empty one restores the default.
void SetSystemLogTag(std::string_view tag);

// Writes one entry to the system log (one with no MESSAGE_ID).
void ReportSystemEvent(EventType type, std::string_view text);
void ReportSystemEvent(const SystemEvent& event, const EventContext& context = {});
// An entry of the kind of `kind` with a text made for it.
void ReportSystemEvent(const SystemEvent& kind, std::string_view text,
                       const EventContext& context = {});
// The entry about one device, for a program that works on several at once:
// "<device>: <text>", with the entry's own kind.
void ReportDeviceEvent(std::string_view device, const SystemEvent& event,
                       const EventContext& context = {});

// The same, to the datagram socket at `socketPath` (tests bind their own).
void ReportSystemEventTo(const char* socketPath, EventType type, std::string_view text);

// Sends every later ReportSystemEvent of this process to `socketPath`
// instead of the system log; an empty path restores the system log. While
// it is set the journal is not used, unless OverrideJournalSocket names one.
// For tests that drive the programs in-process.
void OverrideSystemLogSocket(std::string socketPath);
void OverrideJournalSocket(std::string socketPath);

// The syslog priority of an entry: facility user, with success as a notice,
// information as info, a warning as a warning and an error as an error.
int SyslogPriority(EventType type);

// The datagram for one entry: "<PRI>Mmm dd hh:mm:ss TAG[PID]: text", the
// time in local time.
std::string FormatSyslogMessage(EventType type, std::string_view text);

// The journal's datagram for one entry: one FIELD=value line per field
// (MESSAGE, PRIORITY, SYSLOG_FACILITY, SYSLOG_IDENTIFIER, SYSLOG_PID,
// MESSAGE_ID, then the context's), a value holding a newline in the
// journal's length-prefixed form.
std::string FormatJournalMessage(const SystemEvent& kind, std::string_view text,
                                 const EventContext& context);

}  // namespace sovra
