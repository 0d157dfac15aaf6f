// What a top-level window asks of the window manager and learns from it: the
// frame the manager puts around the window, known before the window is first
// shown, and the hints that take the buttons off its title bar. On X11 both
// go through the manager's properties; on other platforms (the tests'
// offscreen one among them) the frame comes from Qt and the hints are only
// recorded.
#pragma once

#include <QMargins>
#include <QStringList>
#include <Qt>
#include <cstdint>
#include <optional>

class QWidget;

namespace duvo {

// The Motif window-manager hints (_MOTIF_WM_HINTS): five 32-bit values.
struct MotifHints {
    std::uint32_t flags = 0;
    std::uint32_t functions = 0;
    std::uint32_t decorations = 0;
    std::int32_t inputMode = 0;
    std::uint32_t status = 0;
    friend bool operator==(const MotifHints&, const MotifHints&) = default;
};

namespace mwm {
inline constexpr std::uint32_t kHintFunctions = 1, kHintDecorations = 2;
inline constexpr std::uint32_t kFuncAll = 1, kFuncResize = 2, kFuncMove = 4, kFuncMinimize = 8, kFuncMaximize = 16,
                               kFuncClose = 32;
inline constexpr std::uint32_t kDecorAll = 1, kDecorBorder = 2, kDecorResizeHandle = 4, kDecorTitle = 8,
                               kDecorMenu = 16, kDecorMinimize = 32, kDecorMaximize = 64;
}  // namespace mwm

// A normal resizable frame with its title and no buttons: the frame moves
// and resizes the window but cannot close, minimise or maximise it.
MotifHints NoButtonsHints();

// Whether a manager that allows these actions (_NET_WM_ALLOWED_ACTIONS, the
// names without "_NET_WM_ACTION_") to a window with NoButtonsHints draws its
// buttons regardless of the hints' functions: it still lets the window be
// minimised or maximised. Openbox does so on purpose.
bool IgnoresMotifFunctions(const QStringList& allowedActions);

// The window types (_NET_WM_WINDOW_TYPE, the first the manager knows wins)
// for a window without buttons whose Qt type is `type`. Empty where the
// Motif hints take the buttons away: Qt's own type stays. Else the toolbar
// type, for which openbox draws neither a minimise nor a maximise button,
// before Qt's own type.
QStringList NoButtonsWindowTypes(Qt::WindowType type, bool ignoresMotifFunctions);

// Asks for a title bar without buttons, before the window is first shown:
// Qt's window flags for it and, on X11, NoButtonsHints and the window types
// that NoButtonsWindowTypes gives for the running manager, which is asked
// what it allows such a window (_NET_REQUEST_FRAME_EXTENTS). Openbox keeps
// its close button whatever the hints and type, so such windows should also
// ignore a close from the window system.
void RemoveTitleBarButtons(QWidget* window);
// The hints RemoveTitleBarButtons gave the window.
std::optional<MotifHints> RequestedMotifHints(const QWidget* window);
// The window types RemoveTitleBarButtons gave the window; empty when it kept
// Qt's own (always so without a window manager).
QStringList RequestedWindowTypes(const QWidget* window);

// The frame around a top-level window, left, top, right and bottom. On X11
// it is asked of the window manager before the first showing
// (_NET_REQUEST_FRAME_EXTENTS); it is zero when no manager runs. Nothing
// when it cannot be known before the window is shown: then Qt's frame
// geometry tells it afterwards.
std::optional<QMargins> FrameExtents(QWidget* window);

// Sends what was painted to the window system and waits until the display
// has drawn it, for a window painted while the thread does not return to
// the event loop: what is painted is on the screen when it returns.
void FlushToScreen();

// Waits, processing every event but user input, until a window that is
// being shown is really on the screen: its first expose after mapping. On
// X11 that is the server's Expose event; Qt counts a window as exposed as
// soon as it is mapped, even inside a frame the manager has not mapped yet,
// and whatever is painted then is lost. Gives up after timeoutMs, so a
// missing or stalled window manager never blocks. True when it was exposed.
// Start watching from the window's show event (WatchExposure), before it
// is mapped.
void WatchExposure(QWidget* window);
bool WaitUntilExposed(QWidget* window, int timeoutMs);

// Called when a window of the program is activated or clicked: if a modal
// window of the program is minimised, it is restored and raised, since it
// blocks every other window and nothing else shows why. True when one was.
bool RestoreMinimisedModal();
// Watches every window of the program for activation and clicks (on X11
// also clicks the toolkit drops for windows a modal one blocks) and then
// runs RestoreMinimisedModal. Once per application; later calls do nothing.
void WatchForMinimisedModals();

}  // namespace duvo
