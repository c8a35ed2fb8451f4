#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace sovra::ui {
namespace {

constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Dots per inch the dialogs are scaled for. Qt scales logical pixels to the
// screen itself, so this is the logical resolution, normally 96.
int LogicalDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    return dpi > 0 ? static_cast<int>(std::lround(dpi)) : 96;
}

}  // namespace

int MulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1;
    }
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    std::int64_t q = product / c;
    const std::int64_t r = product % c;
    // Round half away from zero: compare twice the remainder with the divisor.
    if (2 * std::llabs(r) >= std::llabs(c)) {
        q += ((product < 0) != (c < 0)) ? -1 : 1;
    }
    return static_cast<int>(q);
}

void InstallFontSubstitutions() {
    for (const char* face : {"Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2", "Arial"}) {
        QFont::insertSubstitution(QString::fromLatin1(face), QStringLiteral("Liberation Sans"));
    }
}

QFont DialogFont(const char* face, int pointSize, int weight) {
    QFont font(QString::fromLatin1(face));
    font.setPixelSize(MulDiv(pointSize, LogicalDpi(), 72));
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(false);
    return font;
}

QFont FontForCellHeight(const char* face, int cellHeight, int weight) {
    // Measure the cell at a large size and scale: the cell is a fixed
    // multiple of the em for an outline font.
    constexpr int kProbe = 200;
    QFont probe(QString::fromLatin1(face));
    probe.setPixelSize(kProbe);
    probe.setWeight(static_cast<QFont::Weight>(weight));
    const QFontMetricsF m(probe);
    const double cell = m.ascent() + m.descent();
    int em = cell > 0 ? static_cast<int>(std::lround(cellHeight * kProbe / cell)) : cellHeight;
    QFont font = probe;
    font.setPixelSize(em > 0 ? em : 1);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics m(font);
    const int width = m.horizontalAdvance(QString::fromLatin1(kAlphabet));
    baseX_ = (width / 26 + 1) / 2;
    baseY_ = m.height();
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    // Position and size are converted each on its own, as a dialog
    // template's controls are created.
    return {X(x), Y(y), X(width), Y(height)};
}

QPoint MinimisedIconPosition(QSize client, QSize icon) {
    // C++ integer division truncates toward zero, as the arithmetic asks.
    return {(client.width() - icon.width() + 1) / 2, (client.height() - icon.height() + 1) / 2};
}

}  // namespace sovra::ui
