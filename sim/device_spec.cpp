#include "sim/device_spec.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "app/files.h"

namespace sovra::sim {
namespace {

// The whole of `s` as a number: no sign, prefix or space (from_chars takes
// none for an unsigned type).
template <class T>
bool ParseWhole(std::string_view s, T& out, int base) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

bool ParseHex16(std::string_view s, std::size_t minDigits, std::uint16_t& out) {
    return s.size() >= minDigits && s.size() <= 4 && ParseWhole(s, out, 16);
}

// 'text', built by appending: GCC 12 misreads `"'" + std::string&&` at -O3
// (-Wrestrict).
std::string Quoted(std::string_view text) {
    std::string quoted(1, '\'');
    quoted.append(text).push_back('\'');
    return quoted;
}

// The fault an option that counts requests sets, or null.
std::uint64_t* CountedFault(FaultPlan& faults, std::string_view key) {
    return key == "fail-at"         ? &faults.failAt
           : key == "unplug-at"     ? &faults.unplugAt
           : key == "corrupt-at"    ? &faults.corruptAt
           : key == "drop-write-at" ? &faults.dropWriteAt
                                    : nullptr;
}

}  // namespace

Error ParseDeviceSpec(std::string_view text, DeviceSpec& spec) {
    spec = {};
    const std::string device = "device " + Quoted(text);
    const auto bad = [&device](const std::string& what) {
        return Error(E_FAIL, device + ": " + what);
    };
    const auto comma = text.find(',');
    const std::string_view ids = text.substr(0, comma);
    const auto c1 = ids.find(':');
    const auto c2 = c1 == std::string_view::npos ? c1 : ids.find(':', c1 + 1);
    if (c2 == std::string_view::npos || ids.find(':', c2 + 1) != std::string_view::npos) {
        return Error(E_FAIL, device + " must start with VID:PID:REV, e.g. 0abc:0010:0102");
    }
    if (!ParseHex16(ids.substr(0, c1), 1, spec.ids.vendor)) {
        return bad("the vendor id must be 1 to 4 hexadecimal digits");
    }
    if (!ParseHex16(ids.substr(c1 + 1, c2 - c1 - 1), 1, spec.ids.product)) {
        return bad("the product id must be 1 to 4 hexadecimal digits");
    }
    if (!ParseHex16(ids.substr(c2 + 1), 4, spec.ids.revision)) {
        return bad("the revision must be 4 hexadecimal digits");
    }

    // Every option but the plug times may be given once.
    std::set<std::string_view> seen;
    for (auto at = comma; at != std::string_view::npos;) {
        const std::string_view rest = text.substr(at + 1);
        if (rest.empty()) {
            return bad("an option is missing after the comma");
        }
        const auto next = rest.find(',');
        at = next == std::string_view::npos ? next : at + 1 + next;
        const std::string_view option = rest.substr(0, next);
        const auto eq = option.find('=');
        const std::string_view key = option.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : option.substr(eq + 1);
        const std::string name = Quoted(key);
        if (value.empty()) {
            return bad("option " + name + " needs a value (NAME=VALUE)");
        }
        const bool plug = key == "arrive-ms" || key == "leave-ms";
        std::uint64_t number = 0;
        const bool numeric = plug || key == "latency-us" || key == "corrupt-byte" ||
                             CountedFault(spec.faults, key) != nullptr;
        if (numeric && !ParseWhole(value, number, 10)) {
            return bad("option " + name + " must be a decimal number");
        }
        if (!plug && !seen.insert(key).second) {
            return bad("option " + name + " is given twice");
        }
        if (key == "flash") {
            spec.flashFile = std::string(value);
        } else if (key == "latency-us") {
            if (number > kMaxLatencyUs) {
                return bad("'latency-us' may be at most " + std::to_string(kMaxLatencyUs));
            }
            spec.faults.latency = std::chrono::microseconds(number);
        } else if (key == "serial") {
            // Printable ASCII: the text goes into sysfs as it is. A backslash
            // would start an escape there.
            const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
                return c >= 0x20 && c < 0x7F && c != '\\';
            });
            if (!printable || value.size() > kMaxSerialChars) {
                return bad("'serial' must be 1 to " + std::to_string(kMaxSerialChars) +
                           " printable ASCII characters, without a backslash");
            }
            spec.ids.serial = std::string(value);
        } else if (plug) {
            if (number > kMaxPlugMs) {
                return bad("option " + name + " may be at most " + std::to_string(kMaxPlugMs));
            }
            spec.plugTimes.push_back({std::chrono::milliseconds(number), key == "arrive-ms"});
        } else if (key == "corrupt-byte") {
            if (number >= ChunkSize) {
                return bad("'corrupt-byte' must be 0 to " + std::to_string(ChunkSize - 1));
            }
            spec.faults.corruptByte = static_cast<std::uint8_t>(number);
        } else if (std::uint64_t* slot = CountedFault(spec.faults, key)) {
            if (number == 0) {
                return bad("option " + name + " counts requests from 1");
            }
            *slot = number;
        } else {
            return bad("unknown option " + name +
                       " (known: flash, serial, latency-us, fail-at, unplug-at, "
                       "corrupt-at, corrupt-byte, drop-write-at, arrive-ms, leave-ms)");
        }
    }
    if (spec.faults.corruptByte && spec.faults.corruptAt == 0) {
        return bad("'corrupt-byte' needs 'corrupt-at'");
    }
    auto& times = spec.plugTimes;
    std::stable_sort(times.begin(), times.end(),
                     [](const auto& a, const auto& b) { return a.at < b.at; });
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i].arrives == times[i - 1].arrives || times[i].at == times[i - 1].at) {
            return bad("'arrive-ms' and 'leave-ms' must take turns, at different times");
        }
    }
    return {};
}

Error LoadFlashFile(const std::string& path, std::vector<std::uint8_t>& flash) {
    // Any contents are taken, valid or not: a damaged flash is what some
    // tests want the device to hold.
    std::string reason;
    const ReadFailure failure = ReadRegularFileWithReason(path, FlashSize, flash, reason);
    const std::string file = "flash file '" + path + "'";
    if (failure == ReadFailure::kOpen || failure == ReadFailure::kRead) {
        return Error(E_FAIL, (failure == ReadFailure::kOpen ? "cannot open " : "cannot read ") +
                                 file + ": " + reason);
    }
    if (failure == ReadFailure::kNotRegular) {
        return Error(E_FAIL, file + " is " + reason + ", not a regular file");
    }
    if (failure == ReadFailure::kTooLarge || flash.size() != FlashSize) {
        return Error(E_FAIL, file +
                                 (failure == ReadFailure::kTooLarge
                                      ? std::string(" is larger than")
                                      : " holds " + std::to_string(flash.size()) + " bytes, not") +
                                 " a beamformer's flash of exactly " + std::to_string(FlashSize) +
                                 " bytes");
    }
    return {};
}

}  // namespace sovra::sim
