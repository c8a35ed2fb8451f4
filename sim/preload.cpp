#include "sim/preload.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace sovra::sim {
namespace {

// Set by the re-exec, so that a preload that fails to load is reported
// instead of re-executing forever.
constexpr const char* kReexecMarker = "SOVRA_SIM_PRELOAD_REEXEC";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The preload library, by its soname.
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// Whether a shared object whose file name contains `needle` is mapped into
// this process.
bool Mapped(std::string_view needle) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(needle, line.rfind('/')) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Whether the colon- or space-separated `list` names `item`, by itself or
// at the end of a path.
bool ListContains(std::string_view list, std::string_view item) {
    while (!list.empty()) {
        const auto sep = list.find_first_of(": ");
        const std::string_view entry = list.substr(0, sep);
        if (entry == item || (entry.size() > item.size() && entry.ends_with(item) &&
                              entry[entry.size() - item.size() - 1] == '/')) {
            return true;
        }
        if (sep == std::string_view::npos) {
            break;
        }
        list.remove_prefix(sep + 1);
    }
    return false;
}

}  // namespace

void EnsurePreload(char** argv) {
    if (Mapped("libumockdev-preload")) {
        unsetenv(kReexecMarker);
        return;
    }
    if (std::getenv(kReexecMarker) != nullptr) {
        throw std::runtime_error(std::string("cannot load ") + kPreloadLibrary +
                                 " (is the umockdev package installed?)");
    }
    const char* before = std::getenv("LD_PRELOAD");
    std::string preload = before != nullptr ? before : "";
    if (!ListContains(preload, kPreloadLibrary)) {
        preload = kPreloadLibrary + (preload.empty() ? "" : ":" + preload);
    }
    if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0 || setenv(kReexecMarker, "1", 1) != 0) {
        throw std::runtime_error("cannot set LD_PRELOAD");
    }
    if (kAddressSanitizer) {
        const char* current = std::getenv("ASAN_OPTIONS");
        std::string options = current != nullptr ? current : "";
        if (options.find("verify_asan_link_order") == std::string::npos) {
            options += options.empty() ? "" : ":";
            options += "verify_asan_link_order=0";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
        }
    }
    execv("/proc/self/exe", argv);
    throw std::runtime_error(std::string("cannot re-execute under ") + kPreloadLibrary + ": " +
                             std::strerror(errno));
}

}  // namespace sovra::sim
