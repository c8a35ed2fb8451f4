#pragma once
// Running under the umockdev preload. The library is injected with
// LD_PRELOAD; a process that hosts virtual devices needs it for itself (its
// uevents go through the mocked /sys) and hands it on to the programs it
// starts, which find the virtual devices through it.

namespace sovra::sim {

// Re-executes this program with the preload first in LD_PRELOAD (then what
// was there before) when the library is not mapped into it yet; returns
// when it is. Throws std::runtime_error when the re-exec fails or did not
// bring the preload in (a second attempt would only loop).
//
// In an AddressSanitizer build the sanitizer's runtime is not preloaded
// (the children may be any program, and the runtime breaks uninstrumented
// ones: leak reports from the shell, a deadlock in logger); instead its
// check that it comes first is turned off in ASAN_OPTIONS, for this program
// and for instrumented children. Uninstrumented children ignore it.
void EnsurePreload(char** argv);

}  // namespace sovra::sim
