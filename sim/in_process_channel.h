#pragma once
// A DeviceChannel that hands each request straight to a BeamformerModel in
// this process, as the USB transport would send it. It records every
// request and the status it returned.

#include <memory>
#include <mutex>
#include <vector>

#include "flash/flash_command.h"
#include "sim/beamformer_model.h"

namespace sovra::sim {

struct RecordedRequest {
    ControlSetup request;
    Status status = S_OK;
};

class InProcessChannel final : public DeviceChannel {
  public:
    explicit InProcessChannel(std::shared_ptr<BeamformerModel> model, bool record = true);

    Status Transfer(const ControlSetup& request, std::span<std::uint8_t> data) override;

    std::vector<RecordedRequest> Requests() const;

  private:
    std::shared_ptr<BeamformerModel> model_;
    bool record_;
    mutable std::mutex mu_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace sovra::sim
