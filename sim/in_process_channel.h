#pragma once
// A DeviceChannel that hands each request straight to a BeamformerModel in
// this process, through the same block-to-control-request mapping the USB
// transport uses. It records every block and the status it returned.

#include <memory>
#include <mutex>
#include <vector>

#include "flash/flash_command.h"
#include "sim/beamformer_model.h"

namespace sovra::sim {

struct RecordedRequest {
    FlashCommand command;
    Status status = S_OK;
};

class InProcessChannel final : public DeviceChannel {
  public:
    explicit InProcessChannel(std::shared_ptr<BeamformerModel> model, bool record = true);

    Status Transfer(const FlashCommand& cmd, std::span<std::uint8_t> data) override;

    std::vector<RecordedRequest> Requests() const;
    BeamformerModel& model() { return *model_; }

  private:
    std::shared_ptr<BeamformerModel> model_;
    bool record_;
    mutable std::mutex mu_;
    std::vector<RecordedRequest> requests_;
};

// Maps the model's answer to the status the transport would report.
Status StatusFromAnswer(Answer a);

}  // namespace sovra::sim
