#pragma once
// Dialog units: every dialog is laid out in units of its own font, so the
// windows keep their proportions whatever the font's size. One horizontal
// unit is a quarter of the font's average character width, one vertical
// unit an eighth of its height. Positions are fixed: no layout moves a
// control when a window is resized.

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace sovra::ui {

// a * b / c rounded to the nearest integer, halves away from zero: the
// rounding every dialog-unit and point-size conversion uses.
int MulDiv(int a, int b, int c);

// The dialogs' faces ("Microsoft Sans Serif", "MS Shell Dlg", "Arial") are
// not installed on Linux; Liberation Sans has their metrics. Call once,
// before the first dialog is built.
void InstallFontSubstitutions();

// A font of `pointSize` points with its pixel size rounded as the dialog
// templates expect (10 pt at 96 dpi is 13 px, 8 pt is 11 px).
QFont DialogFont(const char* face, int pointSize, int weight = 400);

// A font whose character cell (ascent plus descent) is `cellHeight` pixels,
// the way a positive font height is meant.
QFont FontForCellHeight(const char* face, int cellHeight, int weight);

class DialogUnits {
  public:
    // The bases from the font's metrics: horizontal from the advance of
    // "A".."Z""a".."z" as (width / 26 + 1) / 2, vertical the font's height.
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }

    int X(int units) const { return MulDiv(units, baseX_, 4); }
    int Y(int units) const { return MulDiv(units, baseY_, 8); }
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const { return {X(width), Y(height)}; }

  private:
    int baseX_;
    int baseY_;
};

// Where a minimised window draws its icon: centred in the client area, in
// signed arithmetic with division truncating toward zero, as
// ((client - icon + 1) / 2) on each axis.
QPoint MinimisedIconPosition(QSize client, QSize icon);

}  // namespace sovra::ui
