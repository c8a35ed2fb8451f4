#pragma once
// Google Benchmark's main, for a benchmark program that prepares its
// process first.

#include <benchmark/benchmark.h>

namespace sovra::bench {

inline int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace sovra::bench
