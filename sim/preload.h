#pragma once
// Running under the umockdev preload. The library is injected with
// LD_PRELOAD; a process that hosts virtual devices needs it for itself (its
// uevents go through the mocked /sys) and hands it on to the programs it
// starts, which find the virtual devices through it.

#include <string>

namespace sovra::sim {

// The preload library, by its soname.
inline constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// True when the preload library is mapped into this process.
bool RunningUnderPreload();

// The LD_PRELOAD value that puts this process and its children under the
// preload: the preload first, then what was there before.
std::string PreloadEnvironmentValue();

// Re-executes this program with LD_PRELOAD set when it is not under the
// preload yet; returns when it is. Throws std::runtime_error when the
// re-exec fails or did not bring the preload in (a second attempt would
// only loop).
//
// In an AddressSanitizer build the sanitizer's runtime is not preloaded
// (the children may be any program, and the runtime breaks uninstrumented
// ones: leak reports from the shell, a deadlock in logger); instead its
// check that it comes first is turned off in ASAN_OPTIONS, for this program
// and for instrumented children. Uninstrumented children ignore it.
void EnsurePreload(char** argv);

}  // namespace sovra::sim
