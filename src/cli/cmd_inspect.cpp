// `sovra-flash inspect`: what an image holds, record by record, and whether
// an update could write it.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

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

struct EntryReport {
    InfoEntry entry;
    std::optional<FileTime> time;
};

struct DeviceInfoReport {
    std::uint32_t word = 0;  // the record's count word
    bool valid = false;
    std::uint8_t headerLength = 0;
    std::uint8_t version = 0;
    std::uint8_t used = 0;
    std::vector<EntryReport> entries;
    bool complete = false;
};

struct Report {
    std::size_t size = 0;
    std::optional<std::uint32_t> header;
    std::vector<ImageRecord> records;
    WalkEnd end = WalkEnd::kWalking;
    std::uint32_t position = 0;
    std::optional<std::uint32_t> afterMarker;
    std::optional<std::uint32_t> stored;
    std::uint32_t computed = 0;
    std::uint32_t length = 0;
    std::vector<DeviceInfoReport> deviceInfo;
    Status status = S_OK;
    std::string reason;
};

std::string Hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

const char* EntryName(const InfoEntry& e) {
    if (e.IsKeptTime()) {
        return "KeptTime";
    }
    if (e.IsUpdateTime()) {
        return "UpdateTime";
    }
    return nullptr;
}

DeviceInfoReport DecodeDeviceInfo(std::span<const std::uint8_t> image, const ImageRecord& r) {
    DeviceInfoReport d;
    d.word = r.offset;
    const ConstInfoArea area = InfoAreaOf(DeviceInfoBlock(image, r));
    d.valid = IsValidInfoArea(area);
    d.headerLength = area[0];
    d.version = area[1];
    d.used = area[2];
    InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        EntryReport er{*e, std::nullopt};
        if (e->IsKeptTime() || e->IsUpdateTime()) {
            er.time = EntryTime(area, *e);
        }
        d.entries.push_back(er);
    }
    d.complete = walker.Complete();
    return d;
}

Report Decode(std::span<const std::uint8_t> image) {
    Report rep;
    rep.size = image.size();
    const std::uint32_t words = WordCount(image);
    if (words > 0) {
        rep.header = GetWord(image, 0);
    }
    RecordWalker walker(image);
    while (const auto r = walker.Next()) {
        rep.records.push_back(*r);
        if (r->IsDeviceInfo()) {
            rep.deviceInfo.push_back(DecodeDeviceInfo(image, *r));
        }
    }
    rep.end = walker.end();
    rep.position = walker.position();
    rep.computed = ComputeChecksum(image);

    ImageLayout layout;
    rep.status = ValidateImage(image, FlashSize, layout);
    if (rep.end == WalkEnd::kEndMarker) {
        const std::uint32_t e = rep.position;
        if (e + 1 < words) {
            rep.afterMarker = GetWord(image, e + 1);
        }
        if (e + 2 < words) {
            rep.stored = GetWord(image, e + 2);
        }
        rep.length = 4 * e + 12;
    }
    if (rep.end == WalkEnd::kRecordOverrun) {
        rep.reason = "the record at word " + std::to_string(rep.position) + " (count " +
                     std::to_string(GetWord(image, rep.position)) +
                     ") runs past the end of the file.";
    } else if (rep.status == E_IMAGE_NO_END) {
        rep.reason = "the records run to the end of the file (word " +
                     std::to_string(rep.position) + ") without an end marker.";
    } else if (rep.status == E_IMAGE_RESULT_TOO_LONG) {
        rep.reason = "its end marker at word " + std::to_string(rep.position) + " makes it " +
                     std::to_string(rep.length) + " bytes long, more than the 256 KiB flash.";
    } else if (rep.status != S_OK) {
        rep.reason = StatusText(rep.status);
        // It follows a colon in the message.
        rep.reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(rep.reason[0])));
    }
    return rep;
}

nlohmann::json ToJson(const Report& rep, const std::string& path) {
    using nlohmann::json;
    json j;
    j["file"] = path;
    j["size"] = rep.size;
    j["header_word"] = rep.header ? json(*rep.header) : json(nullptr);
    json records = json::array();
    for (const auto& r : rep.records) {
        records.push_back({{"word", r.offset},
                           {"count", r.count},
                           {"tag", r.tag},
                           {"device_info", r.IsDeviceInfo()}});
    }
    j["records"] = records;
    const bool ended = rep.end == WalkEnd::kEndMarker;
    j["end_marker"] = ended ? json(rep.position) : json(nullptr);
    j["word_after_end_marker"] = rep.afterMarker ? json(*rep.afterMarker) : json(nullptr);
    j["checksum"] = {{"stored", rep.stored ? json(*rep.stored) : json(nullptr)},
                     {"computed", rep.computed},
                     {"agree", rep.stored.has_value() && *rep.stored == rep.computed}};
    j["image_length"] = ended ? json(rep.length) : json(nullptr);
    json infos = json::array();
    for (const auto& d : rep.deviceInfo) {
        json entries = json::array();
        for (const auto& e : d.entries) {
            json je = {
                {"offset", e.entry.offset}, {"type", e.entry.type}, {"length", e.entry.length}};
            if (const char* name = EntryName(e.entry)) {
                je["name"] = name;
            }
            if (e.time) {
                je["filetime"] = *e.time;
                je["time"] = FileTimeToIso8601(*e.time);
            }
            entries.push_back(je);
        }
        infos.push_back({{"word", d.word},
                         {"area_valid", d.valid},
                         {"header_length", d.headerLength},
                         {"version", d.version},
                         {"used_length", d.used},
                         {"entries", entries},
                         {"entries_complete", d.complete}});
    }
    j["device_info"] = infos;
    j["valid"] = rep.status == S_OK;
    j["error"] = rep.status == S_OK ? json(nullptr) : json(rep.reason);
    return j;
}

void PrintText(const Report& rep, const std::string& path, std::ostream& out) {
    out << "file:          " << TerminalSafe(path) << " (" << rep.size << " bytes)\n";
    if (rep.header) {
        out << "header word:   " << Hex32(*rep.header) << '\n';
    }
    out << "records:       " << rep.records.size() << '\n';
    for (const auto& r : rep.records) {
        out << "  word " << r.offset << ": count " << r.count << ", tag " << Hex32(r.tag)
            << (r.IsDeviceInfo() ? " (device info)" : "") << '\n';
    }
    if (rep.end != WalkEnd::kEndMarker) {
        return;
    }
    out << "end marker:    word " << rep.position << '\n';
    out << "after marker:  "
        << (rep.afterMarker ? Hex32(*rep.afterMarker) : "beyond the end of the file") << '\n';
    out << "checksum:      ";
    if (rep.stored) {
        out << "stored " << Hex32(*rep.stored) << ", computed " << Hex32(rep.computed)
            << (*rep.stored == rep.computed ? ": they agree" : ": they DIFFER") << '\n';
    } else {
        out << "beyond the end of the file, computed " << Hex32(rep.computed) << '\n';
    }
    out << "image length:  " << rep.length << " bytes\n";
    for (const auto& d : rep.deviceInfo) {
        out << "device info at word " << d.word << ":\n";
        out << "  area " << (d.valid ? "valid" : "NOT valid") << ": header length "
            << unsigned{d.headerLength} << ", version " << unsigned{d.version} << ", used length "
            << unsigned{d.used} << '\n';
        for (const auto& e : d.entries) {
            out << "  entry at " << unsigned{e.entry.offset} << ": type " << unsigned{e.entry.type};
            if (const char* name = EntryName(e.entry)) {
                out << " (" << name << ")";
            }
            out << ", length " << unsigned{e.entry.length};
            if (e.time) {
                out << ", " << FileTimeToIso8601(*e.time);
            }
            out << '\n';
        }
        if (d.valid && !d.complete) {
            out << "  entries end before the used length: a malformed entry follows\n";
        }
    }
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<std::uint8_t> bytes;
    if (const Error e = ReadRegularFile(options.path, FlashSize, bytes); e.Failed()) {
        err << "sovra-flash: " << TerminalSafe(e.What()) << ".\n";
        return kExitRefused;
    }
    const Report rep = Decode(bytes);
    if (options.json) {
        out << ToJson(rep, options.path)
                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
            << '\n';
    } else {
        PrintText(rep, options.path, out);
    }
    out.flush();
    if (rep.status != S_OK) {
        err << "sovra-flash: '" << TerminalSafe(options.path)
            << "' is not a usable image: " << rep.reason << '\n';
        return kExitRefused;
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
    cmd->callback([&run, options] {
        run = [options] { return RunInspect(*options, std::cout, std::cerr); };
    });
}

}  // namespace sovra::cli
