#pragma once
// What the update worker asks of the window an update runs in: the two
// bars, the stage and operation texts, the result message and its colour,
// the CLOSE button, and the message box of a refused start.
//
// Every call is synchronous: when it returns, the change has been carried
// out on the view's own (user-interface) thread. A view whose calls arrive
// on that thread itself carries them out directly. The worker calls a view
// from one thread at a time and never after EnableClose(): once CLOSE is
// enabled the window may go away, so the worker makes that call last.

#include <cstdint>
#include <string_view>

#include "flash/progress.h"

namespace sovra {

// A colour in the 0x00BBGGRR layout the device tools have always stored.
using Colour = std::uint32_t;

constexpr Colour Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<Colour>(r) | (static_cast<Colour>(g) << 8) | (static_cast<Colour>(b) << 16);
}

inline constexpr Colour kWarningColour = Rgb(255, 0, 0);  // while an update runs
inline constexpr Colour kSuccessColour = Rgb(0, 128, 0);
inline constexpr Colour kFailureColour = Rgb(192, 0, 0);

inline constexpr std::string_view kUpdateCaption = "SovRa firmware update";
inline constexpr std::string_view kNoDeviceText =
    "No working devices are connected to your system.";
inline constexpr std::string_view kNoResourcesText =
    "Error loading resources to update firmware.\n Your device will not be updated.";
inline constexpr std::string_view kUpdateSucceededText =
    "Your beamformer is successfully updated! To take effect of update please reconnect USB "
    "cable.";
inline constexpr std::string_view kUpdateFailedText = "Error updating device.";

inline constexpr std::string_view kStage1Text = "Stage 1 of 3";
inline constexpr std::string_view kStage2Text = "Stage 2 of 3";
inline constexpr std::string_view kStage3Text = "Stage 3 of 3";
inline constexpr std::string_view kReadFirmwareText = "Read firmware";
inline constexpr std::string_view kWriteFirmwareText = "Write firmware";
inline constexpr std::string_view kVerifyFirmwareText = "Verify firmware";
inline constexpr std::string_view kCopyImageText = "Copy image";
inline constexpr std::string_view kCompleteText = "Complete";

// The bars' scales: the stage bar shows a percentage, the overall bar
// takes one step per change of it across the three stages.
inline constexpr int kStageBarMax = 100;
inline constexpr int kOverallBarMax = 300;

class UpdateView : public StageProgress {
  public:
    // StageProgress gives the stage bar's position (read and set), the
    // overall bar's step, and the operation text. StagePosition() must
    // answer what the stage bar shows; a view may answer it from the
    // position its own thread last gave the bar, without a round trip.

    virtual void SetStageRange(int low, int high) = 0;
    virtual void SetOverallRange(int low, int high) = 0;
    virtual void SetOverallPosition(int position) = 0;
    virtual void SetOverallStep(int step) = 0;
    virtual int OverallPosition() = 0;

    // The text the animation timer shows in the stage label. The timer
    // reads it on the view's thread: a view hands it over whole, never
    // half-written.
    virtual void SetStageText(std::string_view text) = 0;

    // A modal box with the exclamation icon and an OK button; returns when
    // the user has dismissed it.
    virtual void ShowMessageBox(std::string_view text, std::string_view caption) = 0;

    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
    // Stops the animation of the two labels; they keep their last texts.
    virtual void StopTimer() = 0;
    // The colour the message label is drawn in from its next redraw on.
    virtual void SetTextColour(Colour colour) = 0;
    virtual void SetMessageText(std::string_view text) = 0;
    // The user may close the window from now on; the worker's last call.
    virtual void EnableClose() = 0;
};

}  // namespace sovra
