#pragma once
// The image subcommands of sovra-flash: `inspect` (decode an image or a
// flash dump), `merge` (Stage 2 of an update, offline) and `sample-image`
// (write a generated image). Each Run* prints its result on `out`, errors
// on `err`, and returns the exit status.

#include <optional>
#include <ostream>
#include <string>

#include "app/filetime.h"
#include "flash/sample_image.h"

namespace sovra::cli {

struct InspectOptions {
    std::string path;
    bool json = false;
};

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err);

struct MergeOptions {
    std::string readback;
    std::string firmware;
    std::string output;
    // "Now" for the time stamps, as a decimal FILETIME or a UTC ISO-8601
    // time; without it, the system clock.
    std::optional<std::string> now;
    // Write the whole 256 KiB buffer as the merge leaves it, not just the
    // new image.
    bool flashImage = false;
};

int RunMerge(const MergeOptions& options, std::ostream& out, std::ostream& err);

struct SampleImageCliOptions {
    std::string output;
    bool flash = false;  // a whole 256 KiB flash, the rest 0xFF
    SampleImageOptions image;
    std::optional<std::string> kept;
    std::optional<std::string> updated;
};

int RunSampleImage(const SampleImageCliOptions& options, std::ostream& out, std::ostream& err);

// `text`, given to `option`, read as a time: a decimal FILETIME or a UTC
// ISO-8601 time (zero refused when `nonZero`). Without a text `out` stays;
// false after saying on `err` what is wrong.
bool ReadTimeOption(const std::optional<std::string>& text, const char* option, bool nonZero,
                    FileTime& out, std::ostream& err);

}  // namespace sovra::cli
