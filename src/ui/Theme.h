#pragma once

#include <QColor>
#include <QFont>

class QApplication;
class QLabel;
class QWidget;

namespace hoplin {

// The application's fixed palette, shared by every page.
namespace Hoplin {
inline constexpr QColor bg{0xFA, 0xFA, 0xF7};         // window background
inline constexpr QColor card{0xFF, 0xFF, 0xFF};       // tab bar, cards
inline constexpr QColor ink{0x1A, 0x1A, 0x1A};        // primary text
inline constexpr QColor muted{0x8C, 0x86, 0x78};      // secondary text
inline constexpr QColor accent{0x9B, 0x7B, 0x23};     // selection, prominent buttons
inline constexpr QColor accentSoft{0xF5, 0xEC, 0xD0}; // update button background
inline constexpr QColor accentInk{0x6F, 0x55, 0x12};  // update button text
inline constexpr QColor line{0xE8, 0xE2, 0xD2};       // separators
inline constexpr QColor disabled{0xBF, 0xB3, 0x94};
inline constexpr QColor okTeal{0x0F, 0x76, 0x6E};
inline constexpr QColor errRed{0xB4, 0x23, 0x18};
} // namespace Hoplin

namespace theme {

// Sizes are given in device-independent pixels so the layout measures the same on every desktop,
// whatever its font DPI setting.
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);

// Colours a widget's text (labels, buttons, editable text alike).
void tint(QWidget *widget, const QColor &color);
// A plain-text label (never markup) in the given pixel size, colour and weight.
QLabel *label(const QString &text, int pixels, const QColor &color, QWidget *parent = nullptr,
              QFont::Weight weight = QFont::Normal);
// The tooltip text that shows `text` as written, markup-like characters included.
QString plainToolTip(const QString &text);

// Fusion with a light palette built from the colours above, so the window looks the same on
// every desktop whatever its dark or light theme.
void applyLightTheme(QApplication &app);

} // namespace theme
} // namespace hoplin
