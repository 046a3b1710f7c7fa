// Controls placed where the twips put them, in the window's look; the main
// window and its dialogs share these.
#pragma once

#include <QFont>
#include <QGroupBox>
#include <cmath>

namespace psf::shell {

inline constexpr int TwipsPerPixel = 15;

// Twips to pixels, to the nearest, and back.
inline int px(int twips) {
    return static_cast<int>(std::lround(twips / double(TwipsPerPixel)));
}
inline constexpr int twips_of(int pixels) {
    return pixels * TwipsPerPixel;
}

template <typename W>
W* place(W* w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
    return w;
}

// A group box with its line through the middle of its caption.
class Frame final : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent*) override;
};

// The font the layout was drawn for.
QFont layout_font();

}  // namespace psf::shell
