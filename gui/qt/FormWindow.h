// A top-level window built from one of the layout tables: every control at its place in
// pixels, with its caption, font and colours, looked up by its form name.
#pragma once

#include <QWidget>

#include <functional>
#include <map>
#include <string>

#include "app/Layout.h"

class QFont;

namespace h8sx::qt {

// The frame the windows were drawn with (a classic window border of 4 px and a 19 px
// caption): the client area is the outer size less this until the window manager tells
// the real frame.
inline constexpr int kNominalFrameWidth = 8;
inline constexpr int kNominalFrameHeight = 27;

// The installed faces of the same design that stand in for the tables' faces.
inline constexpr const char* kFallbackGothic = "Noto Sans Mono CJK JP";
inline constexpr const char* kFallbackProportional = "Noto Sans CJK JP";

// The font of a control: its own face, height and weight where it sets them, else the
// window's; faces that are not installed fall back to a CJK gothic.
QFont FontFor(const FontSpec& own, const FontSpec& window);

class FormWindow : public QWidget {
public:
    explicit FormWindow(const WindowSpec& layout);

    const WindowSpec& Layout() const { return layout_; }

    // The control of that form name ("Button1", "Memo1"...), or nullptr.
    QWidget* Control(const std::string& name) const;
    template <class T>
    T* As(const std::string& name) const {
        return dynamic_cast<T*>(Control(name));
    }

    // Runs once, the first time the window is shown.
    std::function<void()> onFirstShow;
    // Runs when the operator closes the window; without it, closing only hides it.
    std::function<void()> onClose;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* Build(const ControlSpec& c, QWidget* parent);
    // Sets the client size so that the outer size is the table's, once the frame is known.
    void FitOuterSize();

    const WindowSpec& layout_;
    std::map<std::string, QWidget*> controls_;
    bool shown_ = false;
    bool fitted_ = false;
};

}  // namespace h8sx::qt
