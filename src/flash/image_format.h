#pragma once
// The firmware image format, which is also the layout of the device's
// flash. All words are 32-bit little endian; word offsets count from the
// start of the image:
//
//   word 0        header word (never interpreted)
//   word 1...     records: count, tag, then `count` data words
//   word e        end marker: a count of 0 where the next count would stand
//   word e+1      the word after the end marker (never interpreted)
//   word e+2      checksum: the sum mod 2^32 of every record's data words
//
// The image is 4e+12 bytes long. Everything that reads this format goes
// through RecordWalker: it is the only code that turns a word taken from a
// file or a device into an offset, and it never looks outside its span.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "app/filetime.h"
#include "app/status.h"

namespace sovra {

inline constexpr std::uint32_t DeviceInfoTag = 0x40003000;
inline constexpr std::uint32_t DeviceInfoWords = 64;
inline constexpr std::size_t DeviceInfoBlockSize = 4 * DeviceInfoWords;  // 256 bytes

// Header word, one end marker, the word after it and the checksum: the
// smallest image (no records) is 16 bytes, its length 4e+12 with e = 1.
inline constexpr std::uint32_t MinImageLength = 16;

// Little-endian access, byte by byte. The caller has checked that the four
// (or eight) bytes lie inside the span.
constexpr std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t offset) {
    return static_cast<std::uint32_t>(b[offset]) | static_cast<std::uint32_t>(b[offset + 1]) << 8 |
           static_cast<std::uint32_t>(b[offset + 2]) << 16 |
           static_cast<std::uint32_t>(b[offset + 3]) << 24;
}

constexpr void Put32(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t v) {
    b[offset] = static_cast<std::uint8_t>(v);
    b[offset + 1] = static_cast<std::uint8_t>(v >> 8);
    b[offset + 2] = static_cast<std::uint8_t>(v >> 16);
    b[offset + 3] = static_cast<std::uint8_t>(v >> 24);
}

// A FILETIME as the device stores it: low half first.
constexpr FileTime Get64(std::span<const std::uint8_t> b, std::size_t offset) {
    return static_cast<FileTime>(Get32(b, offset)) | static_cast<FileTime>(Get32(b, offset + 4))
                                                         << 32;
}

constexpr void Put64(std::span<std::uint8_t> b, std::size_t offset, FileTime v) {
    Put32(b, offset, static_cast<std::uint32_t>(v));
    Put32(b, offset + 4, static_cast<std::uint32_t>(v >> 32));
}

// Word `index` of an image; the caller has checked 4*index+4 <= size.
constexpr std::uint32_t GetWord(std::span<const std::uint8_t> b, std::uint32_t index) {
    return Get32(b, std::size_t{4} * index);
}

// Whole words in a span; a trailing partial word does not count.
constexpr std::uint32_t WordCount(std::span<const std::uint8_t> b) {
    const std::size_t words = b.size() / 4;
    return words > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(words);
}

struct ImageRecord {
    std::uint32_t offset = 0;  // word index of the count word
    std::uint32_t count = 0;   // data words, never 0
    std::uint32_t tag = 0;
    std::uint32_t data = 0;  // word index of the first data word (offset + 2)

    // Only this exact pair is the device-info record; a record with the tag
    // and another count, or the count and another tag, is an ordinary one.
    bool IsDeviceInfo() const { return tag == DeviceInfoTag && count == DeviceInfoWords; }
    std::uint32_t end() const { return data + count; }  // the next record's count word
};

enum class WalkEnd {
    kWalking,        // Next() may still yield records
    kEndMarker,      // a count word of 0: the image ends there
    kRecordOverrun,  // a record's tag or data words run past the span
    kNoEndMarker,    // the span ended where the next count word would stand
};

// Walks the records of an image from word 1. Each record yielded lies
// wholly inside the span (count word, tag word and every data word); the
// walk stops at the first one that does not, without reading past it.
class RecordWalker {
  public:
    explicit RecordWalker(std::span<const std::uint8_t> image)
        : image_(image), words_(WordCount(image)) {}

    // The next record, or nothing when the walk has ended; end() says why.
    std::optional<ImageRecord> Next();

    WalkEnd end() const { return end_; }
    // The word the walk stands on: after kEndMarker, the end marker's index e.
    std::uint32_t position() const { return position_; }

  private:
    std::span<const std::uint8_t> image_;
    std::uint32_t words_;
    std::uint32_t position_ = 1;
    WalkEnd end_ = WalkEnd::kWalking;
};

// Inline: every reader calls it once per record, and the merge's walks
// are short loops around it.
inline std::optional<ImageRecord> RecordWalker::Next() {
    if (end_ != WalkEnd::kWalking) {
        return std::nullopt;
    }
    const std::uint32_t i = position_;
    if (i >= words_) {
        end_ = WalkEnd::kNoEndMarker;
        return std::nullopt;
    }
    ImageRecord r;
    r.offset = i;
    r.count = GetWord(image_, i);
    if (r.count == 0) {
        end_ = WalkEnd::kEndMarker;
        return std::nullopt;
    }
    // words_ - i >= 1 here; the tag word and the data words must follow
    // inside the span. Compared as a remainder so no sum can wrap.
    if (words_ - i < 2 || r.count > words_ - i - 2) {
        end_ = WalkEnd::kRecordOverrun;
        return std::nullopt;
    }
    r.tag = GetWord(image_, i + 1);
    r.data = i + 2;
    position_ = r.end();
    return r;
}

// The failure a walk that did not reach an end marker stands for.
Status WalkFailure(WalkEnd end);

struct ImageLayout {
    std::uint32_t endMarker = 0;  // e
    std::uint32_t records = 0;
    std::uint32_t deviceInfoRecords = 0;
    std::uint32_t length() const { return 4 * endMarker + 12; }
};

// Whether `image` can be written to a flash of `limit` bytes as it stands:
// at least 8 bytes (header word and a word-1 end marker), no longer than
// the limit, every record and the end marker inside the image's own bytes,
// and 4e+12 (which takes in the word after the end marker and the checksum,
// possibly beyond the image's bytes) no longer than the limit. The walk is
// bounded by the image itself, not by whatever follows it in a buffer: a
// record that ran on past the image would take stale bytes for firmware.
Status ValidateImage(std::span<const std::uint8_t> image, std::uint32_t limit, ImageLayout& layout);

// The first device-info record whose 256 data bytes lie inside the span, or
// nothing; the search ends quietly wherever the walk ends.
std::optional<ImageRecord> FindDeviceInfo(std::span<const std::uint8_t> image);

// Whether a whole flash (a read-back, a backup, a dump) walks as a valid
// flash: its records inside it up to an end marker, the stored checksum
// (word e+2) equal to the computed one, and a device-info record.
struct FlashCheck {
    Status status = S_OK;  // S_OK, a walk failure, E_IMAGE_BAD_CHECKSUM or E_IMAGE_NO_DEVICE_INFO
    ImageLayout layout;
    std::optional<ImageRecord> deviceInfo;
};
FlashCheck CheckFlashContents(std::span<const std::uint8_t> flash);

// Sum mod 2^32 of the words [first, last) of the span; the caller has
// checked 4*last <= size.
std::uint32_t SumWords(std::span<const std::uint8_t> image, std::uint32_t first,
                       std::uint32_t last);

// The checksum of every record the walker yields (for a walkable image:
// every record up to the end marker).
std::uint32_t ComputeChecksum(std::span<const std::uint8_t> image);

// The 256-byte block of a device-info record that RecordWalker yielded
// from the same span.
inline std::span<std::uint8_t, DeviceInfoBlockSize> DeviceInfoBlock(std::span<std::uint8_t> image,
                                                                    const ImageRecord& r) {
    return image.subspan(std::size_t{4} * r.data).first<DeviceInfoBlockSize>();
}
inline std::span<const std::uint8_t, DeviceInfoBlockSize> DeviceInfoBlock(
    std::span<const std::uint8_t> image, const ImageRecord& r) {
    return image.subspan(std::size_t{4} * r.data).first<DeviceInfoBlockSize>();
}

}  // namespace sovra
