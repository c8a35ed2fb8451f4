#pragma once
// The Qt platform layer: the handful of control behaviours the dialogs rely
// on, each made to act as the dialogs expect, so the dialog code reads as a
// list of its steps. Everything here runs on the user-interface thread.

#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <optional>
#include <string>
#include <string_view>

class QWidget;

namespace sovra::ui {

// Texts are 8-bit strings holding UTF-8 (the catalogue's texts are taken
// byte for byte as the parser delivers them).
QString ToQString(std::string_view text);

// The name a control is known by: its numeric id, as text.
QString ControlName(int id);

// A static text control: left-aligned or centred, wrapping at word breaks,
// tabs expanded, drawn from the top of its box. It can be given a text
// colour that is applied when it is drawn; without one it draws in the
// palette's colour like any other control.
class StaticText : public QLabel {
  public:
    StaticText(QWidget* parent, int id, Qt::Alignment horizontal = Qt::AlignLeft);

    void SetTextColour(std::optional<QColor> colour);
    // The colour the text is drawn in: the one given, else the palette's.
    QColor EffectiveTextColour() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::optional<QColor> colour_;
};

// A progress bar without text whose position is kept inside its range and
// drawn within one frame of being set.
class ProgressBar : public QProgressBar {
  public:
    ProgressBar(QWidget* parent, int id);

    void SetPos(int position);
    int Pos() const { return pos_; }
    // Draws the position now rather than within the next frame.
    void Redraw();

    // The longest a new position waits to be drawn.
    static constexpr int kFrameMs = 16;

  private:
    int pos_ = 0;
    QTimer redraw_;
};

QPushButton* MakeButton(QWidget* parent, int id, const char* text, const QRect& geometry);

// A drop-down list with an edit field whose rows keep the order they were
// added in. Typed text never becomes a row; text that matches a row
// exactly selects that row, any other text leaves no row selected.
class EditableRowCombo : public QComboBox {
  public:
    EditableRowCombo(QWidget* parent, int id);

    // The selected row, or -1.
    int Selection() const { return currentIndex(); }
    // Selects nothing and empties the edit field.
    void ClearSelection();

  private:
    void OnTextEdited(const QString& text);
};

// Modal message boxes with an OK button only. The error box: error icon,
// title "ERROR". The exclamation box: exclamation icon, the caption given.
// Each returns when the user has dismissed it.
void ErrorBox(QWidget* owner, std::string_view text);
void ExclamationBox(QWidget* owner, std::string_view text, std::string_view caption);

// The application's wait cursor, shown from Begin to the matching End.
void BeginWaitCursor();
void EndWaitCursor();

class WaitCursor {
  public:
    WaitCursor() { BeginWaitCursor(); }
    ~WaitCursor() { EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// The window flags of the dialogs: a caption with a system menu and a close
// box, and no minimise or maximise box.
Qt::WindowFlags DialogWindowFlags();

}  // namespace sovra::ui
