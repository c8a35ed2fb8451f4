#include "flash/update_sequence.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/event_log.h"
#include "flash/merge.h"

namespace sovra {
namespace {

// The stage bar's percentage for chunk k of a stage of `total` bytes,
// counted before the chunk is done: the bar never reaches 100 in a stage
// that moves chunks.
int ChunkPercent(std::uint32_t k, std::uint32_t total) {
    const std::uint64_t scaled = std::uint64_t{ChunkSize} * kStageBarMax * k;
    return static_cast<int>(scaled / total);
}

bool Cancelled(const UpdateContext& context) {
    return context.options.cancel != nullptr &&
           context.options.cancel->load(std::memory_order_relaxed);
}

void ResetStageBar(UpdateView& view) {
    view.SetStageRange(0, kStageBarMax);
    view.SetStagePosition(0);
}

void BeginStage(UpdateView& view, std::string_view stageText, const SystemEvent& entry) {
    view.SetStageText(stageText);
    ReportSystemEvent(entry);
    ResetStageBar(view);
}

void ShowComplete(UpdateView& view) {
    view.SetOperationText(kCompleteText);
    view.ShowOperationText(kCompleteText);
}

// Frees the flash image however the sequence ends, exceptions included.
class FlashImageRelease {
  public:
    explicit FlashImageRelease(std::vector<std::uint8_t>& image) : image_(image) {}
    ~FlashImageRelease() { std::vector<std::uint8_t>().swap(image_); }
    FlashImageRelease(const FlashImageRelease&) = delete;
    FlashImageRelease& operator=(const FlashImageRelease&) = delete;

  private:
    std::vector<std::uint8_t>& image_;
};

// Stage 2 of a restore: the dump goes back as it is, so it must be the
// whole flash, byte for byte.
Status CopyImage(UpdateView& view, UpdateContext& context) {
    if (context.flashImage.size() != FlashSize) {
        return E_HANDLE;
    }
    if (context.imageLength != FlashSize || context.image.size() != FlashSize) {
        return context.imageLength > FlashSize ? E_IMAGE_TOO_LONG : E_IMAGE_TOO_SHORT;
    }
    view.SetOperationText(kCopyImageText);
    std::copy(context.image.begin(), context.image.end(), context.flashImage.begin());
    ShowComplete(view);
    return S_OK;
}

Status BuildImage(UpdateView& view, UpdateContext& context) {
    if (context.options.mode == UpdateMode::kRestore) {
        return CopyImage(view, context);
    }
    static const SystemClock systemClock;
    const Clock& clock = context.options.clock != nullptr ? *context.options.clock : systemClock;
    std::uint32_t length = context.imageLength;
    const Status s = ParseFirmware(context.flashImage, context.image, length, clock, view);
    if (Failed(s)) {
        return s;
    }
    context.imageLength = length;
    // The merge refuses such an image itself; a longer one must never be
    // reported as written when Stage 3 would have to leave it out.
    return length > FlashSize ? E_IMAGE_RESULT_TOO_LONG : S_OK;
}

Status Run(UpdateView& view, UpdateContext& context) {
    UpdateResult& result = context.result;
    const auto ended = [&result](UpdateStep step, Status s) {
        result.endedIn = step;
        return s;
    };

    if (!context.channel) {
        view.ShowMessageBox(kNoDeviceText, kUpdateCaption);
        return ended(UpdateStep::kPrecondition, E_NOINTERFACE);
    }
    if (context.image.empty() || context.imageLength == 0 ||
        context.imageLength > context.image.size()) {
        view.ShowMessageBox(kNoResourcesText, kUpdateCaption);
        return ended(UpdateStep::kPrecondition, E_HANDLE);
    }

    const FlashImageRelease release(context.flashImage);

    ResetStageBar(view);
    view.SetOverallRange(0, kOverallBarMax);
    view.SetOverallPosition(0);
    view.SetOverallStep(1);

    BeginStage(view, kStage1Text, kEventStage1);
    if (const Status s = ReadFirmware(view, context); Failed(s)) {
        return ended(UpdateStep::kReadBack, s);
    }
    if (context.options.keepReadBack) {
        if (const Status s = context.options.keepReadBack(context.flashImage); Failed(s)) {
            return ended(UpdateStep::kKeepReadBack, s);
        }
    }

    BeginStage(view, kStage2Text, kEventStage2);
    if (const Status s = BuildImage(view, context); Failed(s)) {
        return ended(UpdateStep::kMerge, s);
    }
    result.imageLength = context.imageLength;
    if (Cancelled(context)) {
        return ended(UpdateStep::kMerge, E_UPDATE_CANCELLED);
    }

    BeginStage(view, kStage3Text, kEventStage3);
    if (const Status s = WriteFirmware(view, context); Failed(s)) {
        return ended(UpdateStep::kWrite, s);
    }
    if (context.options.verify) {
        if (const Status s = VerifyFirmware(view, context); Failed(s)) {
            return ended(UpdateStep::kVerify, s);
        }
    }
    return ended(UpdateStep::kNone, S_OK);
}

}  // namespace

UpdateContext::UpdateContext(std::shared_ptr<DeviceChannel> ch, std::span<const std::uint8_t> bytes)
    : channel(std::move(ch)),
      image(bytes),
      imageLength(static_cast<std::uint32_t>(
          std::min<std::size_t>(bytes.size(), std::numeric_limits<std::uint32_t>::max()))) {}

Status RunUpdateSequence(UpdateView& view, UpdateContext& context) {
    context.result = UpdateResult{};
    context.result.status = Run(view, context);
    return context.result.status;
}

Status ReadFirmware(UpdateView& view, UpdateContext& context) {
    if (!context.channel) {
        return E_NOINTERFACE;
    }
    view.SetOperationText(kReadFirmwareText);
    // Allocated once per update and reused by every later stage.
    if (context.flashImage.size() != FlashSize) {
        context.flashImage.assign(FlashSize, 0);
    }
    DeviceChannel& channel = *context.channel;
    FlashCommand cmd;
    if (const Status s = SendPrepare(channel, cmd); Failed(s)) {
        return s;
    }
    cmd.WriteHeader();
    for (std::uint32_t k = 0; k < ChunkCount; ++k) {
        if (Cancelled(context)) {
            return E_UPDATE_CANCELLED;
        }
        if (const Status s = ReadChunk(channel, cmd, k * ChunkSize, context.flashImage);
            Failed(s)) {
            return s;
        }
        AdvanceStage(view, ChunkPercent(k, FlashSize));
    }
    ShowComplete(view);
    return S_OK;
}

Status WriteFirmware(UpdateView& view, UpdateContext& context) {
    if (!context.channel) {
        return E_NOINTERFACE;
    }
    if (context.flashImage.size() != FlashSize || context.imageLength == 0) {
        return E_HANDLE;
    }
    const std::uint32_t length = context.imageLength;
    if (length > FlashSize) {
        return E_IMAGE_RESULT_TOO_LONG;
    }
    view.SetOperationText(kWriteFirmwareText);
    DeviceChannel& channel = *context.channel;
    FlashCommand cmd;
    // A last partial chunk still goes as 64 bytes: the flash image holds
    // the read-back beyond the new image.
    for (std::uint32_t address = 0; address < length; address += ChunkSize) {
        ++context.result.writesSent;
        if (const Status s = WriteChunk(channel, cmd, address, context.flashImage); Failed(s)) {
            return s;
        }
        AdvanceStage(view, ChunkPercent(address / ChunkSize, length));
    }
    ShowComplete(view);
    return S_OK;
}

Status VerifyFirmware(UpdateView& view, UpdateContext& context) {
    if (!context.channel) {
        return E_NOINTERFACE;
    }
    const std::uint32_t length = context.imageLength;
    if (context.flashImage.size() != FlashSize || length == 0 || length > FlashSize) {
        return E_HANDLE;
    }
    view.SetOperationText(kVerifyFirmwareText);
    ResetStageBar(view);
    // Every byte that went to the device, whole chunks.
    const std::uint32_t chunks = (length + ChunkSize - 1) / ChunkSize;
    std::vector<std::uint8_t> readBack(std::size_t{chunks} * ChunkSize);
    DeviceChannel& channel = *context.channel;
    FlashCommand cmd;
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::uint32_t address = k * ChunkSize;
        if (const Status s = ReadChunk(channel, cmd, address, readBack); Failed(s)) {
            return s;
        }
        if (!std::equal(readBack.begin() + address, readBack.begin() + address + ChunkSize,
                        context.flashImage.begin() + address)) {
            return E_VERIFY_MISMATCH;
        }
        // The stage bar alone: the overall bar has counted the three stages.
        const int p = ChunkPercent(k, length);
        if (view.StagePosition() != p) {
            view.SetStagePosition(p);
        }
    }
    ShowComplete(view);
    return S_OK;
}

Status UpdateThreadProc(UpdateView* view, UpdateContext& context) {
    if (view == nullptr) {
        return E_HANDLE;
    }
    view->BeginWaitCursor();
    Status status = E_FAIL;
    try {
        status = RunUpdateSequence(*view, context);
    } catch (const std::exception&) {
        // Out of memory, most likely. The window must still come to its
        // end; the flash image has been freed on the way out.
        status = E_FAIL;
    }
    context.result.status = status;
    ReportSystemEvent(Succeeded(status) ? kEventFirmwareUpdated : kEventUpdateFailed);
    view->EndWaitCursor();
    view->StopTimer();
    // The colour before the text, so the redraw the text causes uses it;
    // both before CLOSE, which lets the window go.
    view->SetTextColour(Succeeded(status) ? kSuccessColour : kFailureColour);
    view->SetMessageText(Succeeded(status) ? kUpdateSucceededText : kUpdateFailedText);
    view->EnableClose();
    return status;
}

UpdateWorker::~UpdateWorker() {
    Join();
}

void UpdateWorker::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool UpdateWorker::Start(UpdateView& view, UpdateContext& context, const ThreadStarter& starter) {
    Join();
    ReportSystemEvent(kEventUpdateStarted);
    std::function<void()> body = [&view, &context] { UpdateThreadProc(&view, context); };
    try {
        thread_ = starter ? starter(std::move(body)) : std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        // Shown here, on the calling thread: nothing else would ever end the
        // window's running state.
    }
    context.result = UpdateResult{E_WORKER_START, UpdateStep::kPrecondition, 0, 0};
    ReportSystemEvent(kEventUpdateFailed);
    view.StopTimer();
    view.SetTextColour(kFailureColour);
    view.SetMessageText(kUpdateFailedText);
    view.EnableClose();
    return false;
}

}  // namespace sovra
