// Small helpers the windows share: design fonts, background colors and the
// outer geometry of a top-level window.
#pragma once

#include <QColor>
#include <QFont>
#include <QMargins>
#include <QString>

class QCheckBox;
class QDialog;
class QLabel;
class QKeyEvent;
class QWidget;

namespace duvo {

// The named face when the system has it, else a sans-serif face (one with
// Arial's metrics when installed), at the given character height in pixels.
QFont FormFont(const QString& face, int pixelHeight, bool bold = false);
inline QFont SansSerif(int pixelHeight, bool bold = false) {
    return FormFont(QStringLiteral("MS Sans Serif"), pixelHeight, bold);
}

// The family FormFont falls back to.
QString FallbackFamily();

enum class Background { ButtonFace, Window, White };
void SetBackground(QWidget* widget, Background background);
void SetTextColor(QWidget* widget, const QColor& color);

// Places a top-level window so that its frame stands at (left, top) and its
// outer size is width x height, from the first showing on where the window
// manager tells its frame beforehand. Without a frame (no window manager, or
// the offscreen platform) the outer size is the client size.
void SetOuterGeometry(QWidget* window, int left, int top, int width, int height);
// Places a top-level window's frame at (left, top), from the first showing
// on where the window manager tells its frame beforehand.
void MoveFrame(QWidget* window, int left, int top);
// The frame around a top-level window: the one told beforehand, else the
// one Qt knows (zero before the first showing).
QMargins FrameMargins(QWidget* window);

// Narrows a label's letter spacing, a fraction of a pixel at a time, until
// its text ends within maxRight of its parent: the fallback face is a little
// wider than the design's.
void FitLabel(QLabel* label, int maxRight);

// A check box indicator as small as the design's, so that it fits a check
// box 13 pixels high with its border.
void UseSmallIndicator(QCheckBox* box);

// Keys of the modal dialogs that have neither a default nor a cancel button:
// Esc does nothing and Enter presses only a focused button. True when the key
// was one of those.
bool HandleModalKeys(QDialog* dialog, QKeyEvent* event);

// The design colors of the windows, 0x00BBGGRR names in RGB.
inline const QColor kNavy{0, 0, 128};
inline const QColor kMaroon{128, 0, 0};
inline const QColor kGray{128, 128, 128};

}  // namespace duvo
