#pragma once
// Generated firmware images, for the demo, the virtual beamformer's default
// flash and tests. Every firmware file the project uses comes from here.

#include <cstdint>
#include <vector>

#include "app/filetime.h"

namespace sovra {

struct SampleImageOptions {
    std::uint32_t headerWord = 0x534F5652;  // word 0, carried unchanged
    std::uint32_t records = 4;              // ordinary records besides the device-info one
    std::uint32_t wordsPerRecord = 256;     // data words of each ordinary record (0 counts as 1)
    bool deviceInfo = true;                 // include a device-info record
    std::uint32_t seed = 1;                 // varies the data words and the device data
    FileTime keptTime = 0;                  // 0: no KeptTime entry
    FileTime updateTime = 0;                // 0: no UpdateTime entry
};

// The length MakeSampleImage gives for these options, computed without
// building the image (for callers that check the size first); UINT64_MAX
// when it is beyond what 64 bits count.
std::uint64_t SampleImageLength(const SampleImageOptions& options);

// A valid image: header word, the records (the device-info record second,
// when present), end marker, the word after it (0) and a correct checksum.
// Exactly image-length bytes. The device-info block holds device data drawn
// from the seed and a valid entry area: a 6-byte entry of type 1 (a serial
// number), then the KeptTime and UpdateTime entries asked for; the rest of
// the area is 0xFF. Throws std::length_error above 64 MiB.
std::vector<std::uint8_t> MakeSampleImage(const SampleImageOptions& options);

// A whole 256 KiB flash holding that image, the rest 0xFF. Throws
// std::length_error when the image does not fit the flash.
std::vector<std::uint8_t> MakeSampleFlash(const SampleImageOptions& options);

}  // namespace sovra
