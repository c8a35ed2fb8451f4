// `sovra-flash inspect`: what an image holds, record by record, and whether
// an update could write it.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include "app/error.h"
#include "app/files.h"
#include "app/safe_text.h"
#include "cli/cmd_image.h"
#include "cli/commands.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter = R"(Examples:
  sovra-flash inspect firmware.bin
      the header word, every record (word offset, count, tag), the end
      marker, the checksum stored and computed, the image length and the
      device-info block with its entries
  sovra-flash inspect --json flash-dump.bin
      the same as one JSON object; a 256 KiB flash dump is read as far as
      its image goes

Exit status 1 when the file cannot be walked to an end marker inside its
own bytes, or its image would not fit the 256 KiB flash; what could be read
is still shown.
)";

using nlohmann::json;

std::string Hex32(const json& word) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", word.get<std::uint32_t>());
    return buf;
}

json DeviceInfoJson(std::span<const std::uint8_t> image, const ImageRecord& record) {
    const ConstInfoArea area = InfoAreaOf(DeviceInfoBlock(image, record));
    json entries = json::array();
    InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        json entry = {{"offset", e->offset}, {"type", e->type}, {"length", e->length}};
        if (e->IsKeptTime() || e->IsUpdateTime()) {
            entry["name"] = e->IsKeptTime() ? "KeptTime" : "UpdateTime";
            entry["filetime"] = EntryTime(area, *e);
            entry["time"] = FileTimeToIso8601(EntryTime(area, *e));
        }
        entries.push_back(entry);
    }
    return {{"word", record.offset},
            {"area_valid", IsValidInfoArea(area)},
            {"header_length", area[0]},
            {"version", area[1]},
            {"used_length", area[2]},
            {"entries", entries},
            {"entries_complete", walker.Complete()}};
}

// What the image holds, as `inspect --json` prints it; the text is drawn
// from the same object. `failure` says why the image is not usable.
json Decode(std::span<const std::uint8_t> image, const std::string& path, Error& failure) {
    const std::uint32_t words = WordCount(image);
    const auto word = [&](std::uint32_t at) {
        return at < words ? json(GetWord(image, at)) : json();
    };
    json records = json::array();
    json infos = json::array();
    RecordWalker walker(image);
    while (const auto r = walker.Next()) {
        records.push_back({{"word", r->offset},
                           {"count", r->count},
                           {"tag", r->tag},
                           {"device_info", r->IsDeviceInfo()}});
        if (r->IsDeviceInfo()) {
            infos.push_back(DeviceInfoJson(image, *r));
        }
    }
    const std::uint32_t at = walker.position();
    const bool ended = walker.end() == WalkEnd::kEndMarker;
    const std::uint32_t length = 4 * at + 12;
    const json stored = ended ? word(at + 2) : json();
    const std::uint32_t computed = ComputeChecksum(image);

    ImageLayout layout;
    const Status status = ValidateImage(image, FlashSize, layout);
    if (walker.end() == WalkEnd::kRecordOverrun) {
        failure = Error(status, "the record at word " + std::to_string(at) + " (count " +
                                    std::to_string(GetWord(image, at)) +
                                    ") runs past the end of the file");
    } else if (status == E_IMAGE_NO_END) {
        failure = Error(status, "the records run to the end of the file (word " +
                                    std::to_string(at) + ") without an end marker");
    } else if (status == E_IMAGE_RESULT_TOO_LONG) {
        failure =
            Error(status, "its end marker at word " + std::to_string(at) + " makes it " +
                              std::to_string(length) + " bytes long, more than the 256 KiB flash");
    } else {
        failure = Error(status);
    }
    return {{"file", path},
            {"size", image.size()},
            {"header_word", word(0)},
            {"records", records},
            {"end_marker", ended ? json(at) : json()},
            {"word_after_end_marker", ended ? word(at + 1) : json()},
            {"checksum",
             {{"stored", stored}, {"computed", computed}, {"agree", stored == json(computed)}}},
            {"image_length", ended ? json(length) : json()},
            {"device_info", infos},
            {"valid", !failure.Failed()},
            // The clause as a sentence's end, as the error line gives it.
            {"error", failure.Failed() ? json(failure.What() + ".") : json()}};
}

void PrintText(const json& j, std::ostream& out) {
    out << "file:          " << TerminalSafe(j["file"].get<std::string>()) << " (" << j["size"]
        << " bytes)\n";
    if (!j["header_word"].is_null()) {
        out << "header word:   " << Hex32(j["header_word"]) << '\n';
    }
    out << "records:       " << j["records"].size() << '\n';
    for (const json& r : j["records"]) {
        out << "  word " << r["word"] << ": count " << r["count"] << ", tag " << Hex32(r["tag"])
            << (r["device_info"].get<bool>() ? " (device info)" : "") << '\n';
    }
    if (j["end_marker"].is_null()) {
        return;
    }
    const json& after = j["word_after_end_marker"];
    const json& sum = j["checksum"];
    out << "end marker:    word " << j["end_marker"] << '\n';
    out << "after marker:  " << (after.is_null() ? "beyond the end of the file" : Hex32(after))
        << '\n';
    out << "checksum:      ";
    if (!sum["stored"].is_null()) {
        out << "stored " << Hex32(sum["stored"]) << ", computed " << Hex32(sum["computed"])
            << (sum["agree"].get<bool>() ? ": they agree" : ": they DIFFER") << '\n';
    } else {
        out << "beyond the end of the file, computed " << Hex32(sum["computed"]) << '\n';
    }
    out << "image length:  " << j["image_length"] << " bytes\n";
    for (const json& d : j["device_info"]) {
        const bool valid = d["area_valid"].get<bool>();
        out << "device info at word " << d["word"] << ":\n";
        out << "  area " << (valid ? "valid" : "NOT valid") << ": header length "
            << d["header_length"] << ", version " << d["version"] << ", used length "
            << d["used_length"] << '\n';
        for (const json& e : d["entries"]) {
            out << "  entry at " << e["offset"] << ": type " << e["type"];
            if (e.contains("name")) {
                out << " (" << e["name"].get<std::string>() << ")";
            }
            out << ", length " << e["length"];
            if (e.contains("time")) {
                out << ", " << e["time"].get<std::string>();
            }
            out << '\n';
        }
        if (valid && !d["entries_complete"].get<bool>()) {
            out << "  entries end before the used length: a malformed entry follows\n";
        }
    }
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<std::uint8_t> bytes;
    if (const Error e = ReadRegularFile(options.path, FlashSize, bytes); e.Failed()) {
        return Refuse(err, e);
    }
    Error failure;
    const json report = Decode(bytes, options.path, failure);
    if (options.json) {
        PrintJson(out, report);
    } else {
        PrintText(report, out);
    }
    out.flush();
    if (failure.Failed()) {
        return Refuse(err,
                      failure.Within("'" + options.path + "' is not a usable image").Sentence());
    }
    return kExitOk;
}

void AddInspect(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "inspect", "Show the records, checksum and device-info block of a firmware image");
    auto options = std::make_shared<InspectOptions>();
    cmd->add_option("FILE", options->path, "A firmware file or a 256 KiB flash dump")->required();
    cmd->add_flag("--json", options->json, "Print one JSON object instead of text");
    cmd->footer(kFooter);
    RunWhenChosen(cmd, run, [options] { return RunInspect(*options, std::cout, std::cerr); });
}

}  // namespace sovra::cli
