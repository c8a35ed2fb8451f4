#include "sim/in_process_channel.h"

#include <thread>

namespace sovra::sim {

InProcessChannel::InProcessChannel(std::shared_ptr<BeamformerModel> model, bool record)
    : model_(std::move(model)), record_(record) {
    if (record_) {
        requests_.reserve(2 * ChunkCount + 1);
    }
}

Status InProcessChannel::Transfer(const ControlSetup& request, std::span<std::uint8_t> data) {
    Status status = S_OK;
    if (data.size() != request.wLength) {
        status = E_HANDLE;
    } else {
        const Answer answer = model_->Handle(request, data);
        // The caller's own thread waits, as it would for a device; other
        // channels go on meanwhile.
        if (const auto latency = model_->Latency(); answer != Answer::Gone && latency.count() > 0) {
            std::this_thread::sleep_for(latency);
        }
        status = answer == Answer::Ok      ? S_OK
                 : answer == Answer::Stall ? E_DEVICE_STALL
                                           : E_DEVICE_GONE;
    }
    if (record_) {
        std::lock_guard lock(mu_);
        requests_.push_back({request, status});
    }
    return status;
}

std::vector<RecordedRequest> InProcessChannel::Requests() const {
    std::lock_guard lock(mu_);
    return requests_;
}

}  // namespace sovra::sim
