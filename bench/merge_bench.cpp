// Stage 2 on a full-size image against the least any merge must do: copy
// the file into the buffer and sum its words once. The merge's own work (the
// walk, the device block, the progress rule) should cost little on top.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "app/filetime.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/merge.h"
#include "flash/progress.h"
#include "flash/sample_image.h"

namespace {

// 253 records of 256 words and the device-info record: 261,376 bytes, all
// but 768 bytes of the flash.
sovra::SampleImageOptions FullImage() {
    sovra::SampleImageOptions o;
    o.records = 253;
    o.wordsPerRecord = 256;
    o.keptTime = 0x01D9000011112222ULL;
    return o;
}

void BM_MergeFirmware(benchmark::State& state) {
    const std::vector<std::uint8_t> file = sovra::MakeSampleImage(FullImage());
    sovra::SampleImageOptions device = FullImage();
    device.seed = 2;
    device.updateTime = 0x01DA000033334444ULL;
    std::vector<std::uint8_t> flash = sovra::MakeSampleFlash(device);
    const sovra::FixedClock clock(0x01DC000012345678ULL);
    sovra::NullProgress progress;
    // Each merge leaves a flash that holds a device-info record again, so
    // every iteration does the same work without restoring the read-back.
    for (auto _ : state) {
        std::uint32_t length = static_cast<std::uint32_t>(file.size());
        const sovra::Status s = sovra::MergeFirmware(flash, file, length, clock, progress);
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_MergeFirmware);

void BM_CopyAndSumBaseline(benchmark::State& state) {
    const std::vector<std::uint8_t> file = sovra::MakeSampleImage(FullImage());
    std::vector<std::uint8_t> flash(sovra::FlashSize, 0xFF);
    for (auto _ : state) {
        std::memcpy(flash.data(), file.data(), file.size());
        // The same word sum the merge uses, so the ratio shows what the
        // merge adds, not how two loops happen to compile.
        const std::uint32_t sum =
            sovra::SumWords(flash, 0, static_cast<std::uint32_t>(file.size() / 4));
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_CopyAndSumBaseline);

}  // namespace

BENCHMARK_MAIN();
