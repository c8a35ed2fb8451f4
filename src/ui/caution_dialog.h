#pragma once
// The last question before anything is written to the device: a warning
// icon, a fixed warning in dark red, OK or Cancel. OK (or Enter) goes on;
// Cancel, Esc and the close box do not.

#include <QDialog>

#include "ui/dialog_units.h"
#include "ui/platform.h"

class QLabel;
class QPushButton;

namespace sovra::ui {

inline constexpr const char* kCautionCaption = "Dialog";
inline constexpr const char* kCautionText =
    "Your beamformer is ready to upgrade. Upgrade procedure will take about 1 minute. Do not "
    "disconnect USB or power cable during upgrade - it will damage your beamformer. To avoid "
    "unexpected system shut down power on your computer with external power supply, not from "
    "battery\t\t\t\t   \nTo start upgrade click 'OK' button.\nTo cancel upgrade click 'Close' "
    "button.";
inline constexpr QColor kCautionTextColour(192, 0, 0);

class CautionDialog : public QDialog {
  public:
    explicit CautionDialog(QWidget* parent = nullptr);

    // Initialises and runs the dialog; QDialog::Accepted or Rejected.
    int Run();
    void Prepare();

    StaticText* WarningText() const { return warningText_; }
    QLabel* WarningIcon() const { return warningIcon_; }

  private:
    DialogUnits units_;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    StaticText* warningText_ = nullptr;  // 1000
    QLabel* warningIcon_ = nullptr;      // 1001
};

}  // namespace sovra::ui
