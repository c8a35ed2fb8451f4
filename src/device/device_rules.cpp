#include "device/device_rules.h"

#include <algorithm>
#include <array>

#include "app/hex.h"

namespace sovra {
namespace {

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

unsigned char ToLowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// The white space that a numeric conversion skips (the C locale's isspace).
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the input from `pos` and the text ends; each function advances
// `pos` past what it consumed and says whether the directive matched.
class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool Literal(std::string_view lit) {
        if (text_.size() - pos_ < lit.size() || text_.substr(pos_, lit.size()) != lit) {
            return false;
        }
        pos_ += lit.size();
        return true;
    }

    // One "%x" conversion into an unsigned 32-bit value.
    bool Hex(std::uint32_t& out) {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) {
            ++pos_;
        }
        bool negative = false;
        if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
            negative = text_[pos_] == '-';
            ++pos_;
        }
        // "0X" is a prefix only when a digit follows; "0X" alone is a prefix
        // of a number but not a number, so the conversion fails there.
        if (text_.size() - pos_ >= 2 && text_[pos_] == '0' &&
            (text_[pos_ + 1] == 'X' || text_[pos_ + 1] == 'x')) {
            if (text_.size() - pos_ < 3 || HexDigitValue(text_[pos_ + 2]) < 0) {
                return false;
            }
            pos_ += 2;
        }
        std::uint64_t value = 0;
        bool overflow = false;
        std::size_t digits = 0;
        while (pos_ < text_.size()) {
            const int d = HexDigitValue(text_[pos_]);
            if (d < 0) {
                break;
            }
            // Keep consuming so the whole number is one item, but remember
            // that it no longer fits.
            if (!overflow) {
                value = (value << 4) | static_cast<std::uint64_t>(d);
                overflow = value > 0xFFFFFFFFu;
            }
            ++digits;
            ++pos_;
        }
        if (digits == 0 || overflow) {
            return false;
        }
        auto v = static_cast<std::uint32_t>(value);
        out = negative ? static_cast<std::uint32_t>(0u - v) : v;
        return true;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

std::string TwoDigits(std::uint32_t v) {
    std::string s = std::to_string(v);
    if (s.size() < 2) {
        s.insert(0, 2 - s.size(), '0');
    }
    return s;
}

}  // namespace

std::string NormaliseHardwareId(std::string_view raw) {
    const std::size_t nul = raw.find('\0');
    if (nul != std::string_view::npos) {
        raw = raw.substr(0, nul);
    }
    raw = raw.substr(0, std::min(raw.size(), kHardwareIdMaxChars));
    std::string out(raw);
    std::transform(out.begin(), out.end(), out.begin(), ToUpperAscii);
    return out;
}

std::optional<HardwareIds> ParseHardwareId(std::string_view raw) {
    const std::string text = NormaliseHardwareId(raw);
    Scanner in(text);
    HardwareIds ids;
    if (in.Literal("USB\\VID_") && in.Hex(ids.vendorId) && in.Literal("&PID_") &&
        in.Hex(ids.productId) && in.Literal("&REV_") && in.Hex(ids.revision)) {
        return ids;
    }
    return std::nullopt;
}

std::string RenderHex(std::uint32_t value) {
    static constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                     '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xFu]);
        value >>= 4;
    } while (value != 0);
    return out;
}

std::string IdText(std::uint32_t id) {
    std::string hex = RenderHex(id);
    if (hex.size() < 4) {
        hex.insert(0, 4 - hex.size(), '0');
    }
    return hex;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ToLowerAscii(static_cast<unsigned char>(x)) ==
                      ToLowerAscii(static_cast<unsigned char>(y));
           });
}

pugi::xml_node MatchDeviceElement(const FirmwareCatalogue& catalogue, std::uint32_t vendorId,
                                  std::uint32_t productId) {
    const std::string vid = RenderHex(vendorId);
    const std::string pid = RenderHex(productId);
    for (const pugi::xml_node& element : catalogue.DeviceElements()) {
        if (EqualsIgnoringCase(vid, AttributeValue(element, "VID")) &&
            EqualsIgnoringCase(pid, AttributeValue(element, "PID"))) {
            return element;
        }
    }
    return {};
}

std::string DeviceRowText(const pugi::xml_node& element, std::uint32_t revision) {
    std::string text = AttributePresent(element, "Device_Name")
                           ? AttributeValue(element, "Device_Name")
                           : std::string(kDefaultDisplayName);
    text += ", firmware ver. ";
    text += TwoDigits((revision >> 8) & 0xFFu);
    text += '.';
    text += TwoDigits(revision & 0xFFu);
    return text;
}

bool RowBefore(const DeviceRow& a, const DeviceRow& b) {
    const auto fold = [](char x, char y) {
        return ToLowerAscii(static_cast<unsigned char>(x)) <
               ToLowerAscii(static_cast<unsigned char>(y));
    };
    if (std::lexicographical_compare(a.text.begin(), a.text.end(), b.text.begin(), b.text.end(),
                                     fold)) {
        return true;
    }
    if (std::lexicographical_compare(b.text.begin(), b.text.end(), a.text.begin(), a.text.end(),
                                     fold)) {
        return false;
    }
    if (a.entry.path != b.entry.path) {
        return a.entry.path < b.entry.path;
    }
    return a.text < b.text;
}

std::vector<DeviceRow> BuildDeviceRows(const FirmwareCatalogue& catalogue,
                                       std::span<const PresentDevice> present) {
    std::vector<DeviceRow> rows;
    for (const PresentDevice& device : present) {
        const auto ids = ParseHardwareId(device.hardwareId);
        if (!ids) {
            continue;
        }
        const pugi::xml_node element = MatchDeviceElement(catalogue, ids->vendorId, ids->productId);
        if (!element) {
            continue;
        }
        rows.push_back(
            {DeviceRowText(element, ids->revision),
             {ids->vendorId, ids->productId, ids->revision, device.path, device.serial}});
    }
    std::sort(rows.begin(), rows.end(), RowBefore);
    return rows;
}

void DeviceList::Rebuild(const FirmwareCatalogue& catalogue,
                         std::span<const PresentDevice> present) {
    Clear();
    rows_ = BuildDeviceRows(catalogue, present);
    selection_ = rows_.empty() ? kNoSelection : 0;
}

void DeviceList::Clear() {
    rows_.clear();
    selection_ = kNoSelection;
}

void DeviceList::Select(int index) {
    selection_ =
        (index >= 0 && static_cast<std::size_t>(index) < rows_.size()) ? index : kNoSelection;
}

bool DeviceList::Concerns(const FirmwareCatalogue& catalogue,
                          std::span<const DeviceChange> changes) const {
    return std::any_of(changes.begin(), changes.end(), [&](const DeviceChange& change) {
        if (const auto ids = ParseHardwareId(change.hardwareId);
            ids && MatchDeviceElement(catalogue, ids->vendorId, ids->productId)) {
            return true;
        }
        return !change.path.empty() &&
               std::any_of(rows_.begin(), rows_.end(),
                           [&](const DeviceRow& row) { return row.entry.path == change.path; });
    });
}

const DeviceEntry* DeviceList::SelectedEntry() const {
    if (selection_ < 0 || static_cast<std::size_t>(selection_) >= rows_.size()) {
        return nullptr;
    }
    return &rows_[static_cast<std::size_t>(selection_)].entry;
}

}  // namespace sovra
