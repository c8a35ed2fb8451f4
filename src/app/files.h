#pragma once
// Whole files read and written safely: the only code in the project that
// opens an input file or replaces an output. Every failure comes back as an
// Error whose clause names the file and the reason; nothing here prints.
//
// Inputs are regular files only: a named pipe, a device or a folder given as
// an input is refused before anything is opened for reading, so the caller
// never hangs on a pipe nobody writes to and never reads a device without end.
//
// Outputs are replaced whole or not at all. A symbolic link stays a link (the
// file it points to is replaced), a character device or a named pipe is
// written as it is (`--output /dev/stdout`), and anything else that is not a
// regular file is refused.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/error.h"

namespace sovra {

// The system's sentence for an errno value, as failure texts end with it.
inline std::string ErrnoText(int err) {
    return std::strerror(err);
}

enum class ReadFailure {
    kNone,
    kOpen,        // missing, no permission, a path through a non-folder
    kNotRegular,  // a folder, a named pipe, a device, a socket
    kTooLarge,    // more than the caller's limit
    kRead,        // an I/O error while reading
};

// Reads the regular file `path`, at most `maxBytes` of it, into `out`. On
// failure `out` is left empty and `reason` says why without naming the file
// ("No such file or directory", "a named pipe", "larger than 16 bytes"),
// for callers with a wording of their own. A file longer than the limit is
// refused without being read whole.
ReadFailure ReadRegularFileWithReason(const std::string& path, std::size_t maxBytes,
                                      std::vector<std::uint8_t>& out, std::string& reason);

// The same, the failure naming the file: "cannot open 'x': No such file or
// directory", "'x' is a named pipe, not a regular file".
Error ReadRegularFile(const std::string& path, std::size_t maxBytes,
                      std::vector<std::uint8_t>& out);

// Writes `data` as the whole content of `path`:
// - a regular file, or nothing yet: through a temporary file in the same
//   folder, synced, renamed into place and the folder synced, so the old file
//   stays as it was until the new one is complete. A new file gets
//   0666 & ~umask; a replaced one keeps its permission bits, and its owner
//   where the system allows (root replacing a user's file);
// - a symbolic link: the same, for the file it points to, in that file's
//   folder; a link to nothing is refused rather than followed blindly;
// - a character device or a named pipe: written directly (a pipe must have a
//   reader already);
// - anything else (a folder, a block device, a socket): refused.
// On failure nothing is left behind and the old file is untouched.
Error WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> data);

// Writes a new file, never replacing one: the data go to a temporary file in
// the folder, which is then linked in under the first free name of `path`,
// "-1", "-2", ... inserted before a ".bin" ending. On success `path` holds
// the name written. The file is readable by its owner only: its callers keep
// a device's own data in it.
Error WriteNewFile(std::string& path, std::span<const std::uint8_t> data);

// Whether `path` could be written by WriteFileAtomically or WriteNewFile now:
// its folder exists and may be written, or it is a character device or a
// named pipe that may be written. Creates nothing; lets a command refuse
// before it spends minutes reading a device.
Error CheckCanCreate(const std::string& path);

// `text` in single quotes, as messages name files: 'x'.
std::string Quoted(std::string_view text);

// The folder a path names a file in: "." for a bare name, "/" for one in
// the root. Textual: nothing is looked up.
std::string FolderOf(const std::string& path);

// True when both paths exist and name the same file, symbolic links followed.
bool SameFile(const std::string& a, const std::string& b);

// An input file and what it is to the command, for messages: "the firmware
// file", "the read-back".
struct FileRole {
    std::string_view path;
    std::string_view role;
};

// The sentence refusing `output` when it is the same file as one of the
// inputs ("'x' is the firmware file; writing it would destroy it. Choose
// another output."), or the empty string.
std::string OutputClashes(const std::string& output, std::initializer_list<FileRole> inputs);

}  // namespace sovra
