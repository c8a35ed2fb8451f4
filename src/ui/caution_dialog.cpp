#include "ui/caution_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace sovra::ui {
namespace {

QFont CautionFont() {
    return DialogFont("Microsoft Sans Serif", 10);
}

// The size the platform draws its standard icons at.
constexpr int kSystemIconSize = 32;

}  // namespace

CautionDialog::CautionDialog(QWidget* parent)
    : QDialog(parent, DialogWindowFlags()), units_(CautionFont()) {
    setFont(CautionFont());
    setWindowTitle(QString::fromLatin1(kCautionCaption));
    // A modal frame: the size is the template's and cannot be changed.
    setFixedSize(units_.Size(251, 150));

    // Template order, which is also the tab order.
    ok_ = MakeButton(this, 1, "OK", units_.Rect(138, 129, 50, 14));
    ok_->setDefault(true);
    cancel_ = MakeButton(this, 2, "Cancel", units_.Rect(194, 129, 50, 14));
    warningText_ = new StaticText(this, 1000);
    warningText_->setGeometry(units_.Rect(7, 26, 237, 99));
    warningIcon_ = new QLabel(this);
    warningIcon_->setObjectName(ControlName(1001));
    // An icon control takes the size of its icon.
    const QRect iconBox = units_.Rect(7, 7, 20, 20);
    warningIcon_->setGeometry(iconBox.x(), iconBox.y(), kSystemIconSize, kSystemIconSize);
    warningIcon_->setAttribute(Qt::WA_TranslucentBackground);
    warningIcon_->setAccessibleName(QStringLiteral("Warning"));

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void CautionDialog::Prepare() {
    warningText_->setText(QString::fromLatin1(kCautionText));
    warningText_->SetTextColour(kCautionTextColour);
    // The platform's own warning icon; without one the control stays empty.
    const QIcon icon = style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this);
    if (!icon.isNull()) {
        warningIcon_->setPixmap(icon.pixmap(kSystemIconSize, kSystemIconSize));
    }
    ok_->setFocus(Qt::OtherFocusReason);
}

int CautionDialog::Run() {
    Prepare();
    return exec();
}

}  // namespace sovra::ui
