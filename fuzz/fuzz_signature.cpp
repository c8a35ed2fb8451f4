// gpgv's status lines and a trusted-key file are both read from outside:
// the first from a child process, the second from a folder anyone with
// the right may fill. Any bytes must read without a fault; a good state
// must always come with the key that made it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "catalogue/catalogue_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    for (const int exitCode : {0, 1, 2}) {
        const SignatureCheck check = ParseGpgvStatus(raw, exitCode);
        if (check.state == SignatureState::kGood && (exitCode != 0 || check.fingerprint.empty())) {
            std::abort();
        }
        if (check.Refused() == SignatureRefusal(check).empty()) {
            std::abort();
        }
    }
    if (const auto keys = DearmorPublicKeys(raw); keys && keys->empty()) {
        std::abort();
    }
    return 0;
}
