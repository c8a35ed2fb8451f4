// What the USB transport adds on top of libusb: the same chunk reads sent to
// one virtual beamformer (no latency of its own) through the device
// layer's channel and through a bare libusb_control_transfer loop.
//
//   BM_ChannelRead     ReadChunk through OpenDeviceControl's channel
//   BM_BareLibusbRead  libusb_control_transfer with the same setup packet
//
// The virtual device exists only under the umockdev preload; the program
// re-executes itself under it, so it runs like any benchmark:
//   build/release/bench/transport_bench --benchmark_repetitions=5
// Compare the items_per_second of the two (the goal: channel >= 0.9 x bare).

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "bench/bench_main.h"
#include "device/device_control.h"
#include "sim/usb_host.h"

namespace sovra {
namespace {

const sim::UsbIds kIds{0x0abc, 0x0010, 0x0102};

// One host and one device for the whole run: plugging is not measured.
struct Bench {
    sim::UsbHost host;
    std::size_t index = 0;

    Bench() {
        std::vector<std::uint8_t> flash(FlashSize);
        for (std::size_t i = 0; i < flash.size(); ++i) {
            flash[i] = static_cast<std::uint8_t>(i * 13);
        }
        index = host.Plug(kIds, std::make_shared<sim::BeamformerModel>(std::move(flash)));
    }

    DeviceEntry Entry() const {
        return {kIds.vendor, kIds.product, kIds.revision, host.DeviceNode(index)};
    }
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

void BM_ChannelRead(benchmark::State& state) {
    DeviceControl control = OpenDeviceControl(TheBench().Entry());
    if (!control.channel) {
        state.SkipWithError((control.error.What() + ".").c_str());
        return;
    }
    std::vector<std::uint8_t> image(FlashSize);
    std::uint32_t chunk = 0;
    for (auto _ : state) {
        const Status s = ReadChunk(*control.channel, chunk * ChunkSize, image);
        if (Failed(s)) {
            state.SkipWithError("a read failed");
            break;
        }
        chunk = (chunk + 1) % ChunkCount;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * ChunkSize);
}

void BM_BareLibusbRead(benchmark::State& state) {
    TheBench();
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        state.SkipWithError("libusb_init failed");
        return;
    }
    // The host's only device.
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, kIds.vendor, kIds.product);
    if (h == nullptr || libusb_claim_interface(h, 0) != 0) {
        state.SkipWithError("cannot open the device");
        if (h != nullptr) {
            libusb_close(h);
        }
        libusb_exit(ctx);
        return;
    }
    std::vector<std::uint8_t> image(FlashSize);
    std::uint32_t chunk = 0;
    for (auto _ : state) {
        const std::uint32_t a = chunk * ChunkSize;
        const int r =
            libusb_control_transfer(h, kVendorIn, CommandReadFlash, ChunkAddressHigh(a),
                                    ChunkAddressLow(a), image.data() + a, ChunkSize, 5000);
        if (r != static_cast<int>(ChunkSize)) {
            state.SkipWithError("a read failed");
            break;
        }
        chunk = (chunk + 1) % ChunkCount;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * ChunkSize);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}

// Interleaved, so a busy neighbour on the machine slows both alike.
BENCHMARK(BM_BareLibusbRead)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ChannelRead)->MinTime(2.0)->UseRealTime();

}  // namespace
}  // namespace sovra

int main(int argc, char** argv) {
    try {
        sovra::sim::EnsurePreload(argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return sovra::bench::RunBenchmarks(argc, argv);
}
