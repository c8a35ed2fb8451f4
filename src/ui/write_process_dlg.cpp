#include "ui/write_process_dlg.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimerEvent>
#include <limits>

#include "ui/ui_caller.h"

namespace sovra::ui {
namespace {

QFont WriteProcessFont() {
    return DialogFont("MS Shell Dlg", 8);
}

// The labels' bold face: a character cell of 18 pixels.
QFont LabelFont() {
    return FontForCellHeight("Arial", 18, QFont::Bold);
}

}  // namespace

std::string AnimatedText(const std::string& text, int tick) {
    int n = tick % kAnimationCycle;
    if (n < 0) {
        n += kAnimationCycle;
    }
    return text + std::string(static_cast<std::size_t>(n), ' ') + "...";
}

CWriteProcessDlg::CWriteProcessDlg(QWidget* parent, UpdateWorker::ThreadStarter startThread)
    : QDialog(parent, DialogWindowFlags()),
      units_(WriteProcessFont()),
      caller_(new UiCaller(this)),
      startThread_(std::move(startThread)),
      stageText_(kStage1Text),
      operationText_(kInitialOperationText) {
    setFont(WriteProcessFont());
    setWindowTitle(QString::fromLatin1(kWriteProcessCaption));
    setFixedSize(units_.Size(309, 176));
    setModal(true);

    close_ = MakeButton(this, 2, "CLOSE", units_.Rect(252, 155, 50, 14));
    close_->setEnabled(false);
    message_ = new StaticText(this, 1002);
    message_->setGeometry(units_.Rect(7, 17, 295, 52));
    stageLabel_ = new StaticText(this, 1003);
    stageLabel_->setGeometry(units_.Rect(7, 81, 295, 18));
    overall_ = new ProgressBar(this, 1004);
    overall_->setGeometry(units_.Rect(7, 105, 295, 14));
    operation_ = new StaticText(this, 1005);
    operation_->setGeometry(units_.Rect(7, 122, 295, 15));
    stage_ = new ProgressBar(this, 1006);
    stage_->setGeometry(units_.Rect(7, 139, 295, 14));
    for (StaticText* label : {message_, stageLabel_, operation_}) {
        label->setText(QStringLiteral("Static"));
    }
    message_->SetTextColour(ToQColor(kWarningColour));

    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
}

CWriteProcessDlg::~CWriteProcessDlg() {
    // Normally the worker has made its last call before the dialog can be
    // closed. If the dialog goes early all the same, its requests are
    // still carried out until then: the worker may be waiting on one.
    while (worker_.Running() && !finished_.load()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    worker_.Join();
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
    while (waitCursors_ > 0) {
        ui::EndWaitCursor();
        --waitCursors_;
    }
}

void CWriteProcessDlg::SetContext(std::shared_ptr<DeviceChannel> channel,
                                  std::span<const std::uint8_t> image) {
    context_ = UpdateContext(std::move(channel), image);
}

int CWriteProcessDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

void CWriteProcessDlg::OnInitDialog() {
    {
        const std::lock_guard<std::mutex> lock(textMu_);
        stageLabel_->setText(ToQString(stageText_));
        operation_->setText(ToQString(operationText_));
    }
    message_->setText(QString::fromLatin1(kWritingWarningText));

    stage_->SetRange(0, kStageBarMax);
    stage_->SetPos(0);
    stagePosition_ = stage_->Pos();
    overall_->SetRange(0, kOverallBarMax);
    overall_->SetPos(0);
    overall_->SetStep(1);

    timerId_ = startTimer(kAnimationPeriodMs);
    tickCount_ = 0;

    const QFont bold = LabelFont();
    for (StaticText* label : {operation_, stageLabel_, message_}) {
        label->setFont(bold);
    }

    // Writes "Firware update started." and starts the thread; when no
    // thread can be had it shows the failure and enables CLOSE itself.
    worker_.Start(*this, context_, startThread_);
}

void CWriteProcessDlg::OnTimer() {
    tickCount_ = tickCount_ == std::numeric_limits<int>::max() ? 0 : tickCount_ + 1;
    std::string operation;
    std::string stage;
    {
        const std::lock_guard<std::mutex> lock(textMu_);
        operation = operationText_;
        stage = stageText_;
    }
    operation_->setText(ToQString(AnimatedText(operation, tickCount_)));
    stageLabel_->setText(ToQString(AnimatedText(stage, tickCount_)));
}

void CWriteProcessDlg::timerEvent(QTimerEvent* event) {
    if (timerId_ != 0 && event->timerId() == timerId_) {
        OnTimer();
        return;
    }
    QDialog::timerEvent(event);
}

void CWriteProcessDlg::done(int result) {
    if (!close_->isEnabled()) {
        return;
    }
    QDialog::done(result);
}

std::size_t CWriteProcessDlg::Crossings() const {
    return caller_->Crossings();
}

std::size_t CWriteProcessDlg::Wakeups() const {
    return caller_->Wakeups();
}

void CWriteProcessDlg::OnUi(const std::function<void()>& fn) {
    caller_->Call(fn);
}

int CWriteProcessDlg::StagePosition() {
    return stagePosition_.load();
}

void CWriteProcessDlg::SetStagePosition(int position) {
    OnUi([&] {
        stage_->SetPos(position);
        stagePosition_ = stage_->Pos();
    });
}

void CWriteProcessDlg::StepOverall() {
    OnUi([&] { overall_->StepIt(); });
}

void CWriteProcessDlg::AdvanceTo(int position) {
    // The progress rule's pair in one hand-over.
    OnUi([&] {
        stage_->SetPos(position);
        stagePosition_ = stage_->Pos();
        overall_->StepIt();
    });
}

void CWriteProcessDlg::SetOperationText(std::string_view text) {
    const std::lock_guard<std::mutex> lock(textMu_);
    operationText_.assign(text);
}

void CWriteProcessDlg::ShowOperationText(std::string_view text) {
    OnUi([&] { operation_->setText(ToQString(text)); });
}

void CWriteProcessDlg::SetStageRange(int low, int high) {
    OnUi([&] {
        stage_->SetRange(low, high);
        stagePosition_ = stage_->Pos();
    });
}

void CWriteProcessDlg::SetOverallRange(int low, int high) {
    OnUi([&] { overall_->SetRange(low, high); });
}

void CWriteProcessDlg::SetOverallPosition(int position) {
    OnUi([&] { overall_->SetPos(position); });
}

void CWriteProcessDlg::SetOverallStep(int step) {
    OnUi([&] { overall_->SetStep(step); });
}

int CWriteProcessDlg::OverallPosition() {
    int position = 0;
    OnUi([&] { position = overall_->Pos(); });
    return position;
}

void CWriteProcessDlg::SetStageText(std::string_view text) {
    const std::lock_guard<std::mutex> lock(textMu_);
    stageText_.assign(text);
}

void CWriteProcessDlg::ShowMessageBox(std::string_view text, std::string_view caption) {
    OnUi([&] { ExclamationBox(this, text, caption); });
}

void CWriteProcessDlg::BeginWaitCursor() {
    OnUi([&] {
        ui::BeginWaitCursor();
        ++waitCursors_;
    });
}

void CWriteProcessDlg::EndWaitCursor() {
    OnUi([&] {
        if (waitCursors_ > 0) {
            ui::EndWaitCursor();
            --waitCursors_;
        }
    });
}

void CWriteProcessDlg::StopTimer() {
    OnUi([&] {
        if (timerId_ != 0) {
            killTimer(timerId_);
        }
        timerId_ = 0;
        tickCount_ = 0;
    });
}

void CWriteProcessDlg::SetTextColour(Colour colour) {
    OnUi([&] { message_->SetTextColour(ToQColor(colour)); });
}

void CWriteProcessDlg::SetMessageText(std::string_view text) {
    OnUi([&] { message_->setText(ToQString(text)); });
}

void CWriteProcessDlg::EnableClose() {
    OnUi([&] {
        close_->setEnabled(true);
        finished_ = true;
    });
}

}  // namespace sovra::ui
