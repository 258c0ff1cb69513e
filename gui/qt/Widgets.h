// Labels and the group box drawn as the layout tables measure them: a line of text takes
// as many pixels as its font is high. The CJK gothics that stand in for the tables' faces
// ask for half as much space again between lines, which would push the text of a 12-pixel
// label below its 12 pixels; these widgets put the glyphs' em box at the top instead.
#pragma once

#include <QGroupBox>
#include <QLabel>

namespace h8sx::qt {

// Distance from the top of a line to its baseline when the line is exactly one em high:
// the font's own ascent over its em (its typographic ascender), else its ascent scaled.
qreal EmBaseline(const QFont& font);

class TableLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The caption sits on the top edge of an etched frame, the frame line passing through
// the middle of its text.
class TableGroupBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace h8sx::qt
