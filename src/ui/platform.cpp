#include "ui/platform.h"

#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QStyle>
#include <algorithm>

namespace sovra::ui {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ControlName(int id) {
    return QString::number(id);
}

StaticText::StaticText(QWidget* parent, int id, Qt::Alignment horizontal) : QLabel(parent) {
    setObjectName(ControlName(id));
    setAlignment(horizontal | Qt::AlignTop);
    setWordWrap(true);
    setTextFormat(Qt::PlainText);
}

void StaticText::SetTextColour(std::optional<QColor> colour) {
    colour_ = colour;
    update();
}

QColor StaticText::EffectiveTextColour() const {
    return colour_ ? *colour_ : palette().color(foregroundRole());
}

void StaticText::paintEvent(QPaintEvent*) {
    // The colour goes into a copy of the palette for this drawing only: the
    // control's own palette, and so every other control, stays as it is.
    QPalette pal = palette();
    if (colour_) {
        pal.setColor(QPalette::Active, foregroundRole(), *colour_);
        pal.setColor(QPalette::Inactive, foregroundRole(), *colour_);
    }
    QPainter painter(this);
    const int flags = static_cast<int>(alignment()) | Qt::TextWordWrap | Qt::TextExpandTabs;
    style()->drawItemText(&painter, contentsRect(), flags, pal, isEnabled(), text(),
                          foregroundRole());
}

ProgressBar::ProgressBar(QWidget* parent, int id) : QProgressBar(parent) {
    setObjectName(ControlName(id));
    setTextVisible(false);
    setValue(pos_);
    redraw_.setSingleShot(true);
    redraw_.setInterval(kFrameMs);
    connect(&redraw_, &QTimer::timeout, this, &ProgressBar::Redraw);
}

void ProgressBar::SetPos(int position) {
    pos_ = std::clamp(position, minimum(), maximum());
    // QProgressBar draws at once on every new value. An update worker moves
    // the bars hundreds of times a second, and drawing each position would
    // cost the user-interface thread far more than the change itself: the
    // position changes now, and the drawing follows within one frame,
    // taking in every change made meanwhile.
    if (!redraw_.isActive()) {
        redraw_.start();
    }
}

void ProgressBar::Redraw() {
    redraw_.stop();
    setValue(pos_);
}

QPushButton* MakeButton(QWidget* parent, int id, const char* text, const QRect& geometry) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(ControlName(id));
    button->setGeometry(geometry);
    return button;
}

EditableRowCombo::EditableRowCombo(QWidget* parent, int id) : QComboBox(parent) {
    setObjectName(ControlName(id));
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // No completion: the edit field shows what the user typed, no more.
    setCompleter(nullptr);
    connect(lineEdit(), &QLineEdit::textEdited, this, &EditableRowCombo::OnTextEdited);
}

void EditableRowCombo::ClearSelection() {
    setCurrentIndex(-1);
    setEditText(QString());
}

void EditableRowCombo::OnTextEdited(const QString& text) {
    const int match = findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (match == currentIndex()) {
        return;
    }
    if (match >= 0) {
        setCurrentIndex(match);
        return;
    }
    // Leaving the row empties the edit field; the user's text goes back in,
    // with the cursor where it was.
    QLineEdit* edit = lineEdit();
    const int cursor = edit->cursorPosition();
    setCurrentIndex(-1);
    edit->setText(text);
    edit->setCursorPosition(cursor);
}

namespace {

void MessageBox(QWidget* owner, QMessageBox::Icon icon, std::string_view text,
                std::string_view caption) {
    QMessageBox box(icon, ToQString(caption), ToQString(text), QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

}  // namespace

void ErrorBox(QWidget* owner, std::string_view text) {
    MessageBox(owner, QMessageBox::Critical, text, "ERROR");
}

void ExclamationBox(QWidget* owner, std::string_view text, std::string_view caption) {
    MessageBox(owner, QMessageBox::Warning, text, caption);
}

void BeginWaitCursor() {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void EndWaitCursor() {
    if (QApplication::overrideCursor() != nullptr) {
        QApplication::restoreOverrideCursor();
    }
}

Qt::WindowFlags DialogWindowFlags() {
    return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
           Qt::WindowCloseButtonHint;
}

}  // namespace sovra::ui
