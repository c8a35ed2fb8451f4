#include "sim/beamformer_model.h"

#include <algorithm>

namespace sovra::sim {

bool DecodeFlashAddress(std::uint16_t wValue, std::uint16_t wIndex, std::uint32_t& address) {
    if ((wValue & 0xF8u) != FlashAddressTag) {
        return false;
    }
    address = (static_cast<std::uint32_t>(wValue & 7u) << 16) | wIndex;
    return true;
}

BeamformerModel::BeamformerModel(std::vector<std::uint8_t> flash, FaultPlan faults)
    : flash_(std::move(flash)), faults_(faults) {
    flash_.resize(FlashSize, 0xFF);
}

Answer BeamformerModel::Handle(const ControlSetup& setup, std::span<std::uint8_t> data) {
    Answer answer = Answer::Ok;
    {
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
        const std::uint64_t write =
            setup.bRequest == CommandWriteFlash ? ++writes_ : std::uint64_t{0};
        std::uint32_t address = 0;
        const bool in = setup.bmRequestType == kVendorIn;
        const bool out = setup.bmRequestType == kVendorOut;
        if (data.size() != setup.wLength || (faults_.failAt != 0 && n == faults_.failAt)) {
            answer = Answer::Stall;
        } else if (setup.bRequest == CommandPrepare) {
            if (out && setup.wValue == 0 && setup.wIndex == PrepareAddressLow && data.size() == 1 &&
                data[0] == PrepareValue) {
                prepared_ = true;
            } else {
                answer = Answer::Stall;
            }
        } else if (setup.bRequest == CommandReadFlash || setup.bRequest == CommandWriteFlash) {
            const bool read = setup.bRequest == CommandReadFlash;
            const bool dropped = !read && faults_.dropWriteAt != 0 && write == faults_.dropWriteAt;
            if ((read ? !in : !out) || data.empty() || data.size() > ChunkSize ||
                !DecodeFlashAddress(setup.wValue, setup.wIndex, address) || address >= FlashSize ||
                FlashSize - address < data.size()) {
                answer = Answer::Stall;
            } else if (read) {
                std::copy_n(flash_.begin() + address, data.size(), data.begin());
                if (faults_.corruptAt != 0 && n == faults_.corruptAt) {
                    for (std::size_t i = 0; i < data.size(); ++i) {
                        if (!faults_.corruptByte || *faults_.corruptByte == i) {
                            data[i] = static_cast<std::uint8_t>(data[i] ^ 0xA5);
                        }
                    }
                }
            } else if (!dropped) {
                std::copy(data.begin(), data.end(), flash_.begin() + address);
            }
        } else {
            answer = Answer::Stall;
        }
    }
    return answer;
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
