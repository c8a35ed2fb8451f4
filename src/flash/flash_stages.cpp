#include "flash/flash_stages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "flash/image_format.h"

namespace sovra {
namespace {

// The stage bar's percentage at step `step` of `steps`, counted before the
// step is done: a stage that moves chunks never shows 100.
int Percent(std::uint64_t step, std::uint64_t steps) {
    return static_cast<int>(step * 100 / steps);
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

std::string ChunkText(std::uint32_t address, std::uint32_t chunks) {
    return "at address " + AddressText(address) + " (chunk " +
           std::to_string(address / ChunkSize + 1) + " of " + std::to_string(chunks) + ")";
}

using ChunkRequest = Status (*)(DeviceChannel&, std::uint32_t, std::span<std::uint8_t>);

// One counted chunk request of a pass of `chunks`; a failed one says which
// chunk: "<doing> failed at address ... (chunk k of n): <why>".
Error Request(ChunkRequest request, DeviceChannel& channel, std::uint32_t address,
              std::span<std::uint8_t> buffer, std::uint32_t chunks, StageProgress& progress,
              std::string_view doing) {
    const Status s = request(channel, address, buffer);
    progress.CountRequests(1);
    if (Failed(s)) {
        return Error(s).Within(std::string(doing) + " failed " + ChunkText(address, chunks));
    }
    return {};
}

// Moves the stage bar alone, when the percentage has changed.
void ShowStage(StageProgress& progress, int percent) {
    if (progress.StagePosition() != percent) {
        progress.SetStagePosition(percent);
    }
}

using Chunk = std::array<std::uint8_t, ChunkSize>;

Chunk ChunkOf(std::span<const std::uint8_t> image, std::uint32_t address) {
    Chunk c{};
    std::copy_n(image.begin() + address, ChunkSize, c.begin());
    return c;
}

}  // namespace

std::string AddressText(std::uint32_t address) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%05X", static_cast<unsigned>(address));
    return buf;
}

std::vector<std::uint32_t> UncoveredChunks(std::span<const std::uint8_t> flash) {
    if (CheckFlashContents(flash).status != S_OK) {
        return {};
    }
    // The words come in rising order, so a chunk repeats only in a row.
    std::vector<std::uint32_t> chunks;
    const auto add = [&chunks](std::uint32_t word) {
        const std::uint32_t chunk = word / (ChunkSize / 4);
        if (chunks.empty() || chunks.back() != chunk) {
            chunks.push_back(chunk);
        }
    };
    add(0);
    RecordWalker walker(flash);
    while (const auto r = walker.Next()) {
        add(r->offset);
        add(r->offset + 1);
    }
    for (std::uint32_t w = 0; w < 3; ++w) {
        add(walker.position() + w);
    }
    return chunks;
}

Error ReadFlash(DeviceChannel& channel, std::span<std::uint8_t> flash, StageProgress& progress,
                const std::atomic<bool>* cancel, ReadBackReport& report) {
    report = {};
    if (flash.size() != FlashSize) {
        return Error(E_HANDLE, "there is no buffer to read the flash into");
    }
    progress.SetOperation(Operation::kReadFlash);
    const Status prepared = SendPrepare(channel);
    progress.CountRequests(1);
    if (Failed(prepared)) {
        return Error(prepared).Within("the prepare request before reading the flash failed");
    }
    const auto read = [&](std::uint32_t k, std::span<std::uint8_t> into, std::string_view doing) {
        if (Cancelled(cancel)) {
            return Error(E_UPDATE_CANCELLED, "stopped on request while reading the flash");
        }
        return Request(ReadChunk, channel, k * ChunkSize, into, ChunkCount, progress, doing);
    };

    for (std::uint32_t k = 0; k < ChunkCount; ++k) {
        if (Error e = read(k, flash, "reading the flash"); e.Failed()) {
            return e;
        }
        AdvanceStage(progress, Percent(k, ChunkCount));
    }

    // A second read of a chunk goes to a buffer of its own, to be compared
    // with the first.
    std::vector<std::uint8_t> again(FlashSize);
    const auto readAgain = [&](std::uint32_t k, Chunk& chunk) {
        Error e = read(k, again, "reading the flash a second time");
        chunk = ChunkOf(again, k * ChunkSize);
        return e;
    };

    // A chunk whose confirming read differed, with that read.
    std::optional<std::pair<std::uint32_t, Chunk>> differed;
    // Empty unless the first read holds a valid image.
    const std::vector<std::uint32_t> chunks = UncoveredChunks(flash);
    if (!chunks.empty()) {
        progress.ExpectMoreRequests(chunks.size());
        for (const std::uint32_t k : chunks) {
            Chunk now;
            if (Error e = readAgain(k, now); e.Failed()) {
                return e;
            }
            if (now != ChunkOf(flash, k * ChunkSize)) {
                differed.emplace(k, now);
                break;
            }
        }
        if (!differed) {
            return {};
        }
    }

    report.readTwice = true;
    progress.RestartStage(Operation::kReadAgain);
    progress.ExpectMoreRequests(ChunkCount);
    std::vector<Chunk> earlier;
    earlier.reserve(kMaxChunkReads);
    for (std::uint32_t k = 0; k < ChunkCount; ++k) {
        const std::uint32_t address = k * ChunkSize;
        earlier.assign(1, ChunkOf(flash, address));
        if (differed && differed->first == k) {
            earlier.push_back(differed->second);
            ++report.rereadChunks;
        }
        for (;;) {
            Chunk now;
            if (Error e = readAgain(k, now); e.Failed()) {
                return e;
            }
            if (std::find(earlier.begin(), earlier.end(), now) != earlier.end()) {
                std::copy(now.begin(), now.end(), flash.begin() + address);
                break;
            }
            if (earlier.size() == 1) {
                ++report.rereadChunks;
            }
            earlier.push_back(now);
            if (earlier.size() >= kMaxChunkReads) {
                return Error(E_READBACK_UNSTABLE,
                             "the flash read back differently on each of " +
                                 std::to_string(kMaxChunkReads) + " reads " +
                                 ChunkText(address, ChunkCount) +
                                 "; the connection to the device is corrupting data");
            }
            progress.ExpectMoreRequests(1);
        }
        ShowStage(progress, Percent(k, ChunkCount));
    }
    return {};
}

Error WriteImage(DeviceChannel& channel, std::span<std::uint8_t> flash, std::uint32_t length,
                 StageProgress& progress, std::uint32_t& writesSent) {
    if (flash.size() != FlashSize || length == 0) {
        return Error(E_HANDLE, "there is no image to write");
    }
    if (length > FlashSize) {
        return Error(E_IMAGE_RESULT_TOO_LONG, "the image to write is larger than the flash");
    }
    progress.SetOperation(Operation::kWrite);
    const std::uint32_t chunks = (length + ChunkSize - 1) / ChunkSize;
    for (std::uint32_t address = 0; address < length; address += ChunkSize) {
        ++writesSent;
        if (Error e = Request(WriteChunk, channel, address, flash, chunks, progress, "writing");
            e.Failed()) {
            return e;
        }
        // p = 6400k / L: the share of the image written before this chunk.
        AdvanceStage(progress, Percent(std::uint64_t{ChunkSize} * (address / ChunkSize), length));
    }
    return {};
}

Error VerifyImage(DeviceChannel& channel, std::span<const std::uint8_t> flash, std::uint32_t length,
                  StageProgress& progress) {
    if (flash.size() != FlashSize || length == 0 || length > FlashSize) {
        return Error(E_HANDLE, "there is no image to compare with");
    }
    progress.RestartStage(Operation::kVerify);
    const std::uint32_t chunks = (length + ChunkSize - 1) / ChunkSize;
    std::vector<std::uint8_t> readBack(std::size_t{chunks} * ChunkSize);
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::uint32_t address = k * ChunkSize;
        if (Error e = Request(ReadChunk, channel, address, readBack, chunks, progress,
                              "reading the flash back after writing");
            e.Failed()) {
            return e;
        }
        if (!std::equal(readBack.begin() + address, readBack.begin() + address + ChunkSize,
                        flash.begin() + address)) {
            return Error(E_VERIFY_MISMATCH,
                         "the flash read back after writing differs from the image written " +
                             ChunkText(address, chunks));
        }
        ShowStage(progress, Percent(std::uint64_t{ChunkSize} * k, length));
    }
    return {};
}

}  // namespace sovra
