#include "cli/cmd_udev_rules.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <set>
#include <span>
#include <utility>

#include "app/files.h"
#include "app/hex.h"
#include "app/safe_text.h"
#include "cli/catalogue_option.h"
#include "cli/commands.h"
#include "device/device_rules.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(The rules give the user logged in at the seat (TAG+="uaccess") and members of
the plugdev group (GROUP, MODE) access to each beamformer the catalogue lets
the program list, matched on its vendor and product ids. Device entries
whose VID or PID no device can match (a leading zero, a 0x prefix, more than
four digits, missing) are left out with a warning.

Examples:
  sovra-flash udev-rules --catalogue /opt/sovra/FirmwareUpdate.xml
      print the rules for that catalogue
  sudo sovra-flash udev-rules --output /etc/udev/rules.d/70-sovra-beamformer.rules
  sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=usb
      install the rules for the catalogue found (see below) and apply them to
      the devices already plugged in

Exit status 1 when the catalogue cannot be read or names no device a rule
could match; then nothing is printed or written.
)";

constexpr const char* kHeading =
    R"(# TAG+="uaccess" gives the user logged in at the seat access while they are
# logged in; GROUP and MODE let members of plugdev in from anywhere. Install
# as /etc/udev/rules.d/70-sovra-beamformer.rules (uaccess must be set before
# 73-seat-late.rules runs), then run `udevadm control --reload` and
# `udevadm trigger --subsystem-match=usb`, or plug the beamformer in again.
)";

// Catalogue texts are untrusted and end up in a file that udev parses: a
// newline in a device name must not start a rule line of its own. Control
// characters (C0, DEL and the two-byte UTF-8 C1 range) become '?'.
std::string CommentSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// udev stops reading a rules file at the first line longer than 16 KiB, and
// every rule after it is lost. A catalogue text goes into comment lines and
// warnings, so each such line is cut to 1 KiB: far below that limit, with
// room for any real device name or path, and short enough to read.
constexpr std::size_t kMaxCommentLine = 1024;

// `text` cut to fit kMaxCommentLine with the "# " in front and `tail` bytes
// after it, at a UTF-8 character boundary, "..." marking the cut.
std::string FitCommentLine(std::string text, std::size_t tail = 0) {
    const std::size_t room = kMaxCommentLine - 2 - tail;
    if (text.size() <= room) {
        return text;
    }
    std::size_t cut = room - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    text.resize(cut);
    return text + "...";
}

// What the user probably meant by an id written with spaces, a 0x prefix or
// leading zeros, when that is a matchable id; otherwise empty.
std::string Suggestion(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\r";
    text.remove_prefix(std::min(text.size(), text.find_first_not_of(kSpace)));
    text.remove_suffix(text.size() - (text.find_last_not_of(kSpace) + 1));
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    while (text.size() > 1 && text.front() == '0') {
        text.remove_prefix(1);
    }
    return ReadUsbId(text) ? std::string(text) : std::string();
}

// Why an id text matches no device, for the notes.
std::string Unmatchable(const std::optional<std::string>& text, const char* name) {
    if (!text) {
        return std::string("no ") + name + " attribute";
    }
    const std::string better = Suggestion(*text);
    const std::string hint =
        better.empty() ? "a USB id is 1 to 4 hexadecimal digits"
                       : "ids are compared as plain hexadecimal without leading zeros: write \"" +
                             better + "\"";
    return std::string(name) + " \"" + CommentSafe(*text) + "\" matches no device (" + hint + ")";
}

}  // namespace

UdevRulesResult BuildUdevRules(const FirmwareCatalogue& catalogue, std::string_view source) {
    UdevRulesResult result;
    std::string rules;
    std::set<std::pair<std::uint16_t, std::uint16_t>> seen;
    std::size_t index = 0;
    for (const CatalogueDevice& device : catalogue.Devices()) {
        ++index;
        const std::string name = CommentSafe(device.DisplayName());
        const auto vid = ReadUsbId(device.vid.value_or(""));
        const auto pid = ReadUsbId(device.pid.value_or(""));
        if (!vid || !pid) {
            std::string note =
                "Device entry " + std::to_string(index) + " (\"" + name + "\") is left out: ";
            note += !vid ? Unmatchable(device.vid, "VID") : Unmatchable(device.pid, "PID");
            if (!vid && !pid) {
                note += "; " + Unmatchable(device.pid, "PID");
            }
            result.notes.push_back(FitCommentLine(note + "."));
            continue;
        }
        // The program lists a device by the first entry with its ids, so
        // a later entry with the same pair grants nothing new.
        if (!seen.insert({*vid, *pid}).second) {
            continue;
        }
        rules += "\n# " + FitCommentLine(name) + "\n";
        rules += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
                 IdText(*vid) + "\", ATTR{idProduct}==\"" + IdText(*pid) +
                 "\", TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\"\n";
        ++result.rules;
    }

    constexpr std::string_view kSourceTail = " names. Written by `sovra-flash udev-rules`;\n";
    result.text = "# Access without root to the SovRa beamformers that the catalogue\n# " +
                  FitCommentLine(CommentSafe(source), kSourceTail.size()) +
                  std::string(kSourceTail) + "# write it again when the catalogue changes.\n#\n";
    result.text += kHeading;
    result.text += rules;
    if (!result.notes.empty()) {
        result.text += "\n# Left out, since no device can match them:\n";
        for (const std::string& note : result.notes) {
            result.text += "# " + note + "\n";
        }
    }
    return result;
}

int RunUdevRules(const UdevRulesOptions& options, std::ostream& out, std::ostream& err) {
    if (options.output) {
        // Refused before the catalogue is read: the rules written over it
        // would be the last ones it could ever give.
        std::string error = CatalogueOutputClash(options.catalogue, *options.output);
        if (error.empty()) {
            if (const Error e = CheckCanCreate(*options.output); e.Failed()) {
                return Refuse(err, e);
            }
        }
        if (!error.empty()) {
            return Refuse(err, error);
        }
    }
    // The program lists devices from what the parser kept, so the rules
    // cover the same entries.
    const auto loaded = LoadCatalogueOption(
        options.catalogue,
        {.malformedUse = "using the entries read before the error", .missingDefault = {}}, err);
    if (!loaded) {
        return kExitRefused;
    }
    const std::string shown = loaded->Path();
    const UdevRulesResult result = BuildUdevRules(*loaded, shown);
    for (const std::string& note : result.notes) {
        err << "warning: " << TerminalSafe(note) << '\n';
    }
    // An empty rules file would look installed and grant nothing.
    if (result.rules == 0) {
        return Refuse(err, "no Device entry of '" + shown +
                               "' names ids a device can match; no rules written.");
    }

    if (!options.output) {
        out << result.text;
        return Flushed(out, err, "the rules");
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(result.text.data());
    if (const Error e = WriteFileAtomically(*options.output, std::span(bytes, result.text.size()));
        e.Failed()) {
        return Refuse(err, e);
    }
    return kExitOk;
}

void AddUdevRules(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "udev-rules", "Print udev rules that let users open the catalogue's devices without root");
    auto options = std::make_shared<UdevRulesOptions>();
    AddCatalogue(cmd, options->catalogue);
    AddTextOption(cmd, "--output", options->output,
                  "Write the rules to FILE instead of printing them")
        ->type_name("FILE");
    cmd->footer(std::string(kFooter) + kCatalogueLookupHelp);
    RunWhenChosen(cmd, run, [options] { return RunUdevRules(*options, std::cout, std::cerr); });
}

}  // namespace sovra::cli
