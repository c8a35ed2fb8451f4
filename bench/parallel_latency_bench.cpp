// Whether virtual beamformers with latency answer side by side, as devices
// on separate USB ports do: one device, then several, each given the same
// number of chunk reads through the device layer's channel by a thread of
// its own. With independent devices the several take about as long as the
// one (goal: at most 1.3 times); devices that wait for each other take
// about as many times longer as there are devices.
//
//   build/release/bench/parallel_latency_bench [--requests N] [--latency-us U]
//       [--devices D] [--rounds R]
//
// Prints each round's times and the ratio of their medians. The virtual
// devices exist only under the umockdev preload; the program re-executes
// itself under it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/device_control.h"
#include "sim/usb_host.h"

namespace sovra {
namespace {

const sim::UsbIds kIds{0x0abc, 0x0010, 0x0102};

struct Options {
    std::uint32_t requests = 1000;
    std::uint32_t latencyUs = 300;
    std::uint32_t devices = 4;
    std::uint32_t rounds = 3;
};

// Seconds for `count` devices to answer `requests` reads each, every device
// driven by its own thread; negative when a read fails.
double TimeDevices(const Options& o, std::uint32_t count) {
    sim::UsbHost host;
    std::vector<std::unique_ptr<DeviceChannel>> channels;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t index =
            host.Plug(kIds, std::make_shared<sim::BeamformerModel>(
                                std::vector<std::uint8_t>(FlashSize, 0x5A),
                                sim::FaultPlan{.latency = std::chrono::microseconds(o.latencyUs)}));
        DeviceControl control =
            OpenDeviceControl({kIds.vendor, kIds.product, kIds.revision, host.DeviceNode(index)});
        if (!control.channel) {
            std::fprintf(stderr, "%s.\n", control.error.What().c_str());
            return -1;
        }
        channels.push_back(std::move(control.channel));
    }
    std::vector<int> failed(count, 0);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (std::uint32_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            std::vector<std::uint8_t> image(FlashSize);
            for (std::uint32_t k = 0; k < o.requests; ++k) {
                if (Failed(ReadChunk(*channels[i], (k % ChunkCount) * ChunkSize, image))) {
                    failed[i] = 1;
                    return;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    channels.clear();
    return std::count(failed.begin(), failed.end(), 1) == 0 ? took.count() : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool ParseOptions(int argc, char** argv, Options& o) {
    const std::pair<const char*, std::uint32_t*> names[] = {{"--requests", &o.requests},
                                                            {"--latency-us", &o.latencyUs},
                                                            {"--devices", &o.devices},
                                                            {"--rounds", &o.rounds}};
    for (int i = 1; i < argc; ++i) {
        const auto name = std::find_if(std::begin(names), std::end(names), [&](const auto& n) {
            return std::strcmp(argv[i], n.first) == 0;
        });
        if (name == std::end(names) || i + 1 >= argc) {
            return false;
        }
        char* end = nullptr;
        const unsigned long v = std::strtoul(argv[++i], &end, 10);
        if (*end != '\0' || v == 0 || v > 1'000'000) {
            return false;
        }
        *name->second = static_cast<std::uint32_t>(v);
    }
    return true;
}

int Run(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--requests N] [--latency-us U] [--devices D] [--rounds R]\n",
                     argv[0]);
        return 2;
    }
    std::printf("%u reads per device, latency %u us, 1 device against %u\n", o.requests,
                o.latencyUs, o.devices);
    std::vector<double> one;
    std::vector<double> many;
    // Interleaved, so a busy neighbour on the machine slows both alike.
    for (std::uint32_t r = 0; r < o.rounds; ++r) {
        one.push_back(TimeDevices(o, 1));
        many.push_back(TimeDevices(o, o.devices));
        if (one.back() < 0 || many.back() < 0) {
            std::fprintf(stderr, "a read failed\n");
            return 1;
        }
        std::printf("round %u: 1 device %.3f s, %u devices %.3f s\n", r + 1, one.back(), o.devices,
                    many.back());
    }
    const double floor = o.requests * o.latencyUs / 1e6;
    std::printf("median: 1 device %.3f s, %u devices %.3f s (latency alone: %.3f s)\n", Median(one),
                o.devices, Median(many), floor);
    std::printf("ratio %u/1: %.2f\n", o.devices, Median(many) / Median(one));
    return 0;
}

}  // namespace
}  // namespace sovra

int main(int argc, char** argv) {
    try {
        sovra::sim::EnsurePreload(argv);
        return sovra::Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
