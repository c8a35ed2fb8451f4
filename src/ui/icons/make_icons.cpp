// Draws the application icon at every size the windows and the desktop
// entry ask for, and writes one PNG per size into the folder given as the
// only argument. Run by hand when the design changes; the PNGs are
// committed.
//
// The design: a dark blue tile; from a small device at its foot a fan of
// three arcs (the beam) opens upward; at 32 px and above a round amber
// badge with an upward arrow (the update) sits in the lower right.

#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <cstdio>

namespace {

constexpr int kSizes[] = {16, 24, 32, 48, 256};

QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Everything is drawn on a 256-unit canvas and scaled, so each size is
    // the same picture.
    const double s = size / 256.0;
    p.scale(s, s);

    // The tile.
    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0.0, QColor(0x1d, 0x5f, 0x9e));
    tile.setColorAt(1.0, QColor(0x0b, 0x2a, 0x4f));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    const double margin = size <= 16 ? 0.0 : 8.0;
    p.drawRoundedRect(QRectF(margin, margin, 256 - 2 * margin, 256 - 2 * margin), 44, 44);

    // The beam: three arcs opening upward from the device.
    const QPointF origin(size >= 32 ? 108 : 128, 204);
    const double widths[] = {22, 22, 22};
    const double radii[] = {44, 84, 124};
    const QColor beam[] = {QColor(0xb8, 0xf3, 0xff), QColor(0x7f, 0xe3, 0xff),
                           QColor(0x4c, 0xc9, 0xf0)};
    for (int i = 0; i < 3; ++i) {
        QPen pen(beam[i], size <= 16 ? widths[i] * 1.4 : widths[i]);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const double r = radii[i];
        const QRectF box(origin.x() - r, origin.y() - r, 2 * r, 2 * r);
        // Qt counts angles in 1/16 degree, anticlockwise from three o'clock.
        p.drawArc(box, 45 * 16, 90 * 16);
    }

    // The device: a small bar the beam leaves from.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf4, 0xf8, 0xfb));
    p.drawRoundedRect(QRectF(origin.x() - 40, origin.y() + 4, 80, 24), 8, 8);

    if (size >= 32) {
        // The update badge.
        const QRectF badge(160, 148, 84, 84);
        p.setBrush(QColor(0xff, 0xb3, 0x1f));
        p.setPen(QPen(QColor(0x0b, 0x2a, 0x4f), 8));
        p.drawEllipse(badge);
        QPainterPath arrow;
        const double cx = badge.center().x();
        arrow.moveTo(cx, 164);
        arrow.lineTo(cx + 26, 192);
        arrow.lineTo(cx + 10, 192);
        arrow.lineTo(cx + 10, 216);
        arrow.lineTo(cx - 10, 216);
        arrow.lineTo(cx - 10, 192);
        arrow.lineTo(cx - 26, 192);
        arrow.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x0b, 0x2a, 0x4f));
        p.drawPath(arrow);
    }
    p.end();
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: sovra-make-icons OUTPUT-FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    for (const int size : kSizes) {
        const QString name = out.filePath(QString("sovra-firmware-update-%1.png").arg(size));
        if (!DrawIcon(size).save(name, "PNG")) {
            std::fprintf(stderr, "sovra-make-icons: cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    return 0;
}
