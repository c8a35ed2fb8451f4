#pragma once
// The program's trail in the system log: its milestones and every refusal
// of Start Update, as fixed one-line entries. Each entry is one syslog
// datagram to the local log socket carrying the text exactly as given; the
// kind of entry travels in the priority. The desktop application writes
// under the tag "sovra-firmware-update", sovra-flash under its own (see
// SetSystemLogTag), so `journalctl -t TAG` tells the two apart.
//
// Reporting never changes the program's flow: no log daemon, a full queue
// or any other failure drops the entry without a word, and no call blocks.
// Nothing is kept between calls (but a test's redirection, below); any
// thread may report.

#include <array>
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
};

// The twelve entries of the program's trail; kEventUpdateFailed below is the
// only other one it writes.
inline constexpr SystemEvent kEventUtilityStarted{EVENTLOG_INFORMATION_TYPE,
                                                  "SovRa firware update utility started."};
inline constexpr SystemEvent kEventErrorGettingDevice{EVENTLOG_ERROR_TYPE,
                                                      "Error getting selected device."};
inline constexpr SystemEvent kEventErrorLoadingDevice{EVENTLOG_ERROR_TYPE,
                                                      "Error loading device data."};
inline constexpr SystemEvent kEventErrorGettingFirmware{EVENTLOG_ERROR_TYPE,
                                                        "Error getting selected firmware."};
inline constexpr SystemEvent kEventErrorLoadingFirmware{EVENTLOG_ERROR_TYPE,
                                                        "Error loading firmware data."};
inline constexpr SystemEvent kEventErrorOpeningDevice{EVENTLOG_ERROR_TYPE,
                                                      "Error opening device object."};
inline constexpr SystemEvent kEventErrorReadingFirmwareFile{EVENTLOG_ERROR_TYPE,
                                                            "Error reading firmware data file."};
// "Firware" is the entry's own spelling, kept on purpose: log searches and
// monitoring rules written against it must go on matching. Do not correct it.
inline constexpr SystemEvent kEventUpdateStarted{EVENTLOG_INFORMATION_TYPE,
                                                 "Firware update started."};
inline constexpr SystemEvent kEventStage1{EVENTLOG_INFORMATION_TYPE, "Load Stage 1 of 3."};
inline constexpr SystemEvent kEventStage2{EVENTLOG_INFORMATION_TYPE, "Load Stage 2 of 3."};
inline constexpr SystemEvent kEventStage3{EVENTLOG_INFORMATION_TYPE, "Load Stage 3 of 3."};
inline constexpr SystemEvent kEventFirmwareUpdated{EVENTLOG_SUCCESS,
                                                   "Firmware is updated in SovRa 01.00."};

inline constexpr std::array<SystemEvent, 12> kAllSystemEvents{
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

// Written instead of kEventFirmwareUpdated when an update failed or was
// refused before it began: the log must never call a failed update a
// success.
inline constexpr SystemEvent kEventUpdateFailed{EVENTLOG_ERROR_TYPE, "Error updating device."};

// Written instead of kEventFirmwareUpdated when the device already held the
// firmware and nothing was written.
inline constexpr SystemEvent kEventAlreadyCurrent{EVENTLOG_INFORMATION_TYPE,
                                                  "The device already holds this firmware."};

// A restore writes a saved flash back as it is; it is never logged as an
// update of the firmware.
inline constexpr SystemEvent kEventRestoreStarted{EVENTLOG_INFORMATION_TYPE,
                                                  "Flash restore started."};
inline constexpr SystemEvent kEventFlashRestored{EVENTLOG_SUCCESS,
                                                 "Flash of SovRa beamformer is restored."};
inline constexpr SystemEvent kEventRestoreFailed{EVENTLOG_ERROR_TYPE, "Error restoring device."};

inline constexpr const char* kSystemLogSocket = "/dev/log";
// The tag entries carry unless the program sets another.
inline constexpr const char* kSystemLogTag = "sovra-firmware-update";

// The tag of every later entry of this process, a program name such as
// "sovra-flash"; an empty one restores the default.
void SetSystemLogTag(std::string_view tag);

// Writes one entry to the system log.
void ReportSystemEvent(EventType type, std::string_view text);
void ReportSystemEvent(const SystemEvent& event);
// The entry about one device, for a program that works on several at once:
// "<device>: <text>", with the entry's own kind.
void ReportDeviceEvent(std::string_view device, const SystemEvent& event);

// The same, to the datagram socket at `socketPath` (tests bind their own).
void ReportSystemEventTo(const char* socketPath, EventType type, std::string_view text);

// Sends every later ReportSystemEvent of this process to `socketPath`
// instead of the system log; an empty path restores the system log. For
// tests that drive the desktop application in-process.
void OverrideSystemLogSocket(std::string socketPath);

// The syslog priority of an entry: facility user, with success as a notice,
// information as info, a warning as a warning and an error as an error.
int SyslogPriority(EventType type);

// The datagram for one entry: "<PRI>Mmm dd hh:mm:ss TAG[PID]: text", the
// time in local time.
std::string FormatSyslogMessage(EventType type, std::string_view text);

}  // namespace sovra
