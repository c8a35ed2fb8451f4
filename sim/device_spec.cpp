#include "sim/device_spec.h"

#include <charconv>

#include "app/files.h"

namespace sovra::sim {
namespace {

bool IsHex(std::string_view s) {
    for (const char c : s) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !letter) {
            return false;
        }
    }
    return true;
}

bool ParseHex16(std::string_view s, std::size_t minDigits, std::uint16_t& out) {
    if (s.size() < minDigits || s.size() > 4 || !IsHex(s)) {
        return false;
    }
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 16);
    return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

bool ParseDecimal(std::string_view s, std::uint64_t& out) {
    if (s.empty() || s.front() < '0' || s.front() > '9') {
        return false;
    }
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 10);
    return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

// 'text', built by appending: GCC 12 misreads `"'" + std::string&&` at -O3
// (-Wrestrict).
std::string Quoted(std::string_view text) {
    std::string quoted(1, '\'');
    quoted.append(text).push_back('\'');
    return quoted;
}

DeviceSpecResult Error(std::string message) {
    return {std::nullopt, std::move(message)};
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

DeviceSpecResult ParseDeviceSpec(std::string_view text) {
    const std::string quoted = Quoted(text);
    const auto comma = text.find(',');
    const std::string_view ids = text.substr(0, comma);
    const auto c1 = ids.find(':');
    const auto c2 = c1 == std::string_view::npos ? c1 : ids.find(':', c1 + 1);
    if (c2 == std::string_view::npos || ids.find(':', c2 + 1) != std::string_view::npos) {
        return Error("device " + quoted + " must start with VID:PID:REV, e.g. 0abc:0010:0102");
    }
    DeviceSpec spec;
    if (!ParseHex16(ids.substr(0, c1), 1, spec.ids.vendor)) {
        return Error("device " + quoted + ": the vendor id must be 1 to 4 hexadecimal digits");
    }
    if (!ParseHex16(ids.substr(c1 + 1, c2 - c1 - 1), 1, spec.ids.product)) {
        return Error("device " + quoted + ": the product id must be 1 to 4 hexadecimal digits");
    }
    if (!ParseHex16(ids.substr(c2 + 1), 4, spec.ids.revision)) {
        return Error("device " + quoted + ": the revision must be 4 hexadecimal digits");
    }

    if (comma == std::string_view::npos) {
        return {std::move(spec), {}};
    }
    bool seenLatency = false;
    std::string_view rest = text.substr(comma + 1);
    for (;;) {
        if (rest.empty()) {
            return Error("device " + quoted + ": an option is missing after the comma");
        }
        const auto next = rest.find(',');
        const std::string_view option = rest.substr(0, next);
        const auto eq = option.find('=');
        const std::string_view key = option.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : option.substr(eq + 1);
        const std::string name = Quoted(key);
        if (eq == std::string_view::npos || value.empty()) {
            return Error("device " + quoted + ": option " + name + " needs a value (NAME=VALUE)");
        }
        const std::string twice = "device " + quoted + ": option " + name + " is given twice";
        std::uint64_t number = 0;
        const bool numeric = key == "latency-us" || key == "arrive-ms" || key == "leave-ms" ||
                             key == "corrupt-byte" || CountedFault(spec.faults, key) != nullptr;
        if (numeric && !ParseDecimal(value, number)) {
            return Error("device " + quoted + ": option " + name + " must be a decimal number");
        }
        if (key == "flash") {
            if (spec.flashFile) {
                return Error(twice);
            }
            spec.flashFile = std::string(value);
        } else if (key == "latency-us") {
            if (seenLatency) {
                return Error(twice);
            }
            if (number > kMaxLatencyUs) {
                return Error("device " + quoted + ": 'latency-us' may be at most " +
                             std::to_string(kMaxLatencyUs));
            }
            seenLatency = true;
            spec.faults.latency = std::chrono::microseconds(number);
        } else if (key == "arrive-ms" || key == "leave-ms") {
            auto& slot = key == "arrive-ms" ? spec.arriveAfter : spec.leaveAfter;
            if (slot) {
                return Error(twice);
            }
            if (number > kMaxPlugMs) {
                return Error("device " + quoted + ": option " + name + " may be at most " +
                             std::to_string(kMaxPlugMs));
            }
            slot = std::chrono::milliseconds(number);
        } else if (key == "corrupt-byte") {
            if (spec.faults.corruptByte) {
                return Error(twice);
            }
            if (number >= ChunkSize) {
                return Error("device " + quoted + ": 'corrupt-byte' must be 0 to " +
                             std::to_string(ChunkSize - 1));
            }
            spec.faults.corruptByte = static_cast<std::uint8_t>(number);
        } else if (std::uint64_t* slot = CountedFault(spec.faults, key)) {
            if (*slot != 0) {
                return Error(twice);
            }
            if (number == 0) {
                return Error("device " + quoted + ": option " + name + " counts requests from 1");
            }
            *slot = number;
        } else {
            return Error("device " + quoted + ": unknown option " + name +
                         " (known: flash, latency-us, fail-at, unplug-at, corrupt-at, "
                         "corrupt-byte, drop-write-at, arrive-ms, leave-ms)");
        }
        if (next == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(next + 1);
    }
    if (spec.faults.corruptByte && spec.faults.corruptAt == 0) {
        return Error("device " + quoted + ": 'corrupt-byte' needs 'corrupt-at'");
    }
    if (spec.arriveAfter && spec.leaveAfter && *spec.leaveAfter <= *spec.arriveAfter) {
        return Error("device " + quoted + ": 'leave-ms' must be later than 'arrive-ms'");
    }
    return {std::move(spec), {}};
}

std::optional<std::vector<std::uint8_t>> LoadFlashFile(const std::string& path,
                                                       std::string& error) {
    // Any contents are taken, valid or not: a damaged flash is what some
    // tests want the device to hold.
    std::vector<std::uint8_t> flash;
    std::string reason;
    const ReadFailure failure = ReadRegularFileWithReason(path, FlashSize, flash, reason);
    if (failure == ReadFailure::kOpen || failure == ReadFailure::kRead) {
        error = std::string(failure == ReadFailure::kOpen ? "cannot open" : "cannot read") +
                " flash file '" + path + "': " + reason;
        return std::nullopt;
    }
    if (failure == ReadFailure::kNotRegular) {
        error = "flash file '" + path + "' is " + reason + ", not a regular file";
        return std::nullopt;
    }
    if (failure == ReadFailure::kTooLarge || flash.size() != FlashSize) {
        error = "flash file '" + path + "' " +
                (failure == ReadFailure::kTooLarge
                     ? std::string("is larger than")
                     : "holds " + std::to_string(flash.size()) + " bytes, not") +
                " a beamformer's flash of exactly " + std::to_string(FlashSize) + " bytes";
        return std::nullopt;
    }
    return flash;
}

}  // namespace sovra::sim
