#include "flash/flash_stages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
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

// ": the device did not answer in time": a status's sentence continuing
// one of ours.
std::string Because(Status s) {
    std::string text(StatusText(s));
    if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') {
        text.front() = static_cast<char>(text.front() - 'A' + 'a');
    }
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return ": " + text;
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

Status ReadFlash(DeviceChannel& channel, std::span<std::uint8_t> flash, StageProgress& progress,
                 const std::atomic<bool>* cancel, ReadBackReport& report, std::string& failure) {
    report = {};
    failure.clear();
    if (flash.size() != FlashSize) {
        failure = "there is no buffer to read the flash into";
        return E_HANDLE;
    }
    progress.SetOperation(Operation::kReadFlash);
    Status s = SendPrepare(channel);
    progress.CountRequests(1);
    if (Failed(s)) {
        failure = "the prepare request before reading the flash failed" + Because(s);
        return s;
    }
    const auto stopped = [&failure] {
        failure = "stopped on request while reading the flash";
        return E_UPDATE_CANCELLED;
    };

    for (std::uint32_t k = 0; k < ChunkCount; ++k) {
        if (Cancelled(cancel)) {
            return stopped();
        }
        const std::uint32_t address = k * ChunkSize;
        s = ReadChunk(channel, address, flash);
        progress.CountRequests(1);
        if (Failed(s)) {
            failure = "reading the flash failed " + ChunkText(address, ChunkCount) + Because(s);
            return s;
        }
        AdvanceStage(progress, Percent(k, ChunkCount));
    }

    // A second read of a chunk goes to a buffer of its own, to be compared
    // with the first.
    std::vector<std::uint8_t> again(FlashSize);
    const auto readAgain = [&](std::uint32_t k, Chunk& chunk) {
        if (Cancelled(cancel)) {
            return stopped();
        }
        const std::uint32_t address = k * ChunkSize;
        const Status r = ReadChunk(channel, address, again);
        progress.CountRequests(1);
        if (Failed(r)) {
            failure = "reading the flash a second time failed " + ChunkText(address, ChunkCount) +
                      Because(r);
        }
        chunk = ChunkOf(again, address);
        return r;
    };

    // A chunk whose confirming read differed, with that read.
    std::optional<std::pair<std::uint32_t, Chunk>> differed;
    // Empty unless the first read holds a valid image.
    const std::vector<std::uint32_t> chunks = UncoveredChunks(flash);
    if (!chunks.empty()) {
        progress.ExpectMoreRequests(chunks.size());
        for (const std::uint32_t k : chunks) {
            Chunk now;
            if (s = readAgain(k, now); Failed(s)) {
                return s;
            }
            if (now != ChunkOf(flash, k * ChunkSize)) {
                differed.emplace(k, now);
                break;
            }
        }
        if (!differed) {
            return S_OK;
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
            if (s = readAgain(k, now); Failed(s)) {
                return s;
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
                failure = "the flash read back differently on each of " +
                          std::to_string(kMaxChunkReads) + " reads " +
                          ChunkText(address, ChunkCount) +
                          "; the connection to the device is corrupting data";
                return E_READBACK_UNSTABLE;
            }
            progress.ExpectMoreRequests(1);
        }
        if (const int p = Percent(k, ChunkCount); progress.StagePosition() != p) {
            progress.SetStagePosition(p);
        }
    }
    return S_OK;
}

Status WriteImage(DeviceChannel& channel, std::span<std::uint8_t> flash, std::uint32_t length,
                  StageProgress& progress, std::uint32_t& writesSent, std::string& failure) {
    failure.clear();
    if (flash.size() != FlashSize || length == 0) {
        failure = "there is no image to write";
        return E_HANDLE;
    }
    if (length > FlashSize) {
        failure = "the image to write is larger than the flash";
        return E_IMAGE_RESULT_TOO_LONG;
    }
    progress.SetOperation(Operation::kWrite);
    const std::uint32_t chunks = (length + ChunkSize - 1) / ChunkSize;
    for (std::uint32_t address = 0; address < length; address += ChunkSize) {
        ++writesSent;
        const Status s = WriteChunk(channel, address, flash);
        progress.CountRequests(1);
        if (Failed(s)) {
            failure = "writing failed " + ChunkText(address, chunks) + Because(s);
            return s;
        }
        // p = 6400k / L: the share of the image written before this chunk.
        AdvanceStage(progress, Percent(std::uint64_t{ChunkSize} * (address / ChunkSize), length));
    }
    return S_OK;
}

Status VerifyImage(DeviceChannel& channel, std::span<const std::uint8_t> flash,
                   std::uint32_t length, StageProgress& progress, std::string& failure) {
    failure.clear();
    if (flash.size() != FlashSize || length == 0 || length > FlashSize) {
        failure = "there is no image to compare with";
        return E_HANDLE;
    }
    progress.RestartStage(Operation::kVerify);
    const std::uint32_t chunks = (length + ChunkSize - 1) / ChunkSize;
    std::vector<std::uint8_t> readBack(std::size_t{chunks} * ChunkSize);
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::uint32_t address = k * ChunkSize;
        const Status s = ReadChunk(channel, address, readBack);
        progress.CountRequests(1);
        if (Failed(s)) {
            failure = "reading the flash back after writing failed " + ChunkText(address, chunks) +
                      Because(s);
            return s;
        }
        if (!std::equal(readBack.begin() + address, readBack.begin() + address + ChunkSize,
                        flash.begin() + address)) {
            failure = "the flash read back after writing differs from the image written " +
                      ChunkText(address, chunks);
            return E_VERIFY_MISMATCH;
        }
        const int p = Percent(std::uint64_t{ChunkSize} * k, length);
        if (progress.StagePosition() != p) {
            progress.SetStagePosition(p);
        }
    }
    return S_OK;
}

}  // namespace sovra
