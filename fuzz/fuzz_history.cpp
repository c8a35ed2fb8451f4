// A line of the update history is read back from a file any program (or a
// crash) may have left. Any bytes must read without a fault, and a record
// that reads must survive a round trip through its own line, the unit and
// serial number (present, null or absent) included.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "update/state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    const std::string line(reinterpret_cast<const char*>(data), size);
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) {
        return 0;
    }
    const auto record = HistoryFromJson(j);
    if (!record) {
        return 0;
    }
    const auto again = HistoryFromJson(HistoryJson(*record));
    if (!again || !(*again == *record)) {
        std::abort();
    }
    return 0;
}
