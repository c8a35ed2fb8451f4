#include "sim/beamformer_model.h"

#include <algorithm>

namespace sovra::sim {

BeamformerModel::BeamformerModel(std::vector<std::uint8_t> flash, FaultPlan faults)
    : flash_(std::move(flash)), faults_(faults) {
    flash_.resize(FlashSize, 0xFF);
}

Answer BeamformerModel::Handle(const ControlSetup& setup, std::span<std::uint8_t> data) {
    std::lock_guard lock(mu_);
    if (!present_) {
        return Answer::Gone;
    }
    const std::uint64_t n = ++requests_;
    if (faults_.unplugAt != 0 && n >= faults_.unplugAt) {
        present_ = false;
        return Answer::Gone;
    }
    // Every write request counts, refused or not, as the device sees it.
    const std::uint64_t write = setup.bRequest == CommandWriteFlash ? ++writes_ : std::uint64_t{0};
    const bool in = setup.bmRequestType == kVendorIn;
    const bool out = setup.bmRequestType == kVendorOut;
    if (data.size() != setup.wLength || (faults_.failAt != 0 && n == faults_.failAt)) {
        return Answer::Stall;
    }
    if (setup.bRequest == CommandPrepare) {
        if (!out || setup.wValue != 0 || setup.wIndex != PrepareAddressLow || data.size() != 1 ||
            data[0] != PrepareValue) {
            return Answer::Stall;
        }
        prepared_ = true;
        return Answer::Ok;
    }
    const bool read = setup.bRequest == CommandReadFlash;
    // The address is ((wValue & 7) << 16) | wIndex, with 0x50 in wValue's
    // other bits.
    const std::uint32_t address =
        (static_cast<std::uint32_t>(setup.wValue & 7u) << 16) | setup.wIndex;
    if ((!read && setup.bRequest != CommandWriteFlash) || (read ? !in : !out) || data.empty() ||
        data.size() > ChunkSize || (setup.wValue & 0xF8u) != FlashAddressTag ||
        address >= FlashSize || FlashSize - address < data.size()) {
        return Answer::Stall;
    }
    if (read) {
        std::copy_n(flash_.begin() + address, data.size(), data.begin());
        if (faults_.corruptAt != 0 && n == faults_.corruptAt) {
            for (std::size_t i = 0; i < data.size(); ++i) {
                if (!faults_.corruptByte || *faults_.corruptByte == i) {
                    data[i] = static_cast<std::uint8_t>(data[i] ^ 0xA5);
                }
            }
        }
    } else if (faults_.dropWriteAt == 0 || write != faults_.dropWriteAt) {
        std::copy(data.begin(), data.end(), flash_.begin() + address);
    }
    return Answer::Ok;
}

std::chrono::microseconds BeamformerModel::Latency() const {
    std::lock_guard lock(mu_);
    return faults_.latency;
}

std::vector<std::uint8_t> BeamformerModel::Flash() const {
    std::lock_guard lock(mu_);
    return flash_;
}

std::uint64_t BeamformerModel::RequestCount() const {
    std::lock_guard lock(mu_);
    return requests_;
}

bool BeamformerModel::Prepared() const {
    std::lock_guard lock(mu_);
    return prepared_;
}

bool BeamformerModel::Present() const {
    std::lock_guard lock(mu_);
    return present_;
}

void BeamformerModel::Unplug() {
    std::lock_guard lock(mu_);
    present_ = false;
}

void BeamformerModel::Replug() {
    std::lock_guard lock(mu_);
    if (faults_.unplugAt != 0 && requests_ >= faults_.unplugAt) {
        faults_.unplugAt = 0;
    }
    prepared_ = false;
    present_ = true;
}

}  // namespace sovra::sim
