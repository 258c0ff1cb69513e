#include "gui/qt/Widgets.h"

#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QRawFont>

namespace h8sx::qt {

namespace {

int BigEndian16(const QByteArray& table, int offset) {
    if (table.size() < offset + 2) return 0;
    return static_cast<std::int16_t>((static_cast<std::uint8_t>(table[offset]) << 8) |
                                     static_cast<std::uint8_t>(table[offset + 1]));
}

// Typographic ascender and descender (OS/2 table) as a share of the em; 0 when unknown.
qreal TypoAscentShare(const QFont& font) {
    const QRawFont raw = QRawFont::fromFont(font);
    if (!raw.isValid()) return 0;
    const QByteArray os2 = raw.fontTable("OS/2");
    const int ascender = BigEndian16(os2, 68);
    const int descender = BigEndian16(os2, 70);
    if (ascender <= 0 || ascender - descender <= 0) return 0;
    return qreal(ascender) / qreal(ascender - descender);
}

}  // namespace

qreal EmBaseline(const QFont& font) {
    static QHash<QString, qreal> shares;
    const QString key = font.key();
    auto it = shares.find(key);
    if (it == shares.end()) {
        qreal share = TypoAscentShare(font);
        if (share <= 0) {
            const QFontMetricsF fm(font);
            share = fm.ascent() / (fm.ascent() + fm.descent());
        }
        it = shares.insert(key, share);
    }
    return *it * font.pixelSize();
}

void TableLabel::paintEvent(QPaintEvent*) {
    // The background, where the label has one, is filled before this runs.
    QPainter p(this);
    p.setFont(font());
    p.setPen(palette().color(foregroundRole()));
    p.drawText(QPointF(0, EmBaseline(font())), text());
}

void TableGroupBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFont f = font();
    const int em = f.pixelSize();
    const QFontMetrics fm(f);
    // Etched frame: a dark line with a light one inside and below it.
    const QRect frame = rect().adjusted(0, em / 2, -1, -1);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(frame.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(frame.adjusted(1, 1, 0, 0));
    // The caption, on the window's background, cuts the top line.
    const int left = 8;
    const QRect caption(left, 0, fm.horizontalAdvance(title()) + 2, em);
    p.fillRect(caption, palette().color(QPalette::Window));
    p.setFont(f);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QPointF(left + 1, EmBaseline(f)), title());
}

}  // namespace h8sx::qt
