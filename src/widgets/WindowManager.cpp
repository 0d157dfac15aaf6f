#include "widgets/WindowManager.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QRect>
#include <QVariant>
#include <QWidget>
#include <QWindow>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#ifdef DUVO_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#endif

namespace duvo {

namespace {

constexpr const char* kHintsProperty = "duvo_motif_hints";
constexpr const char* kTypesProperty = "duvo_window_types";

// The type Qt's xcb platform gives the windows that take their buttons away.
QString QtWindowType(Qt::WindowType type) {
    return QLatin1String(type == Qt::Dialog ? "_NET_WM_WINDOW_TYPE_DIALOG" : "_NET_WM_WINDOW_TYPE_NORMAL");
}

#ifdef DUVO_HAVE_XCB

xcb_connection_t* X11Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// A property of 32-bit values; empty when the window has none of that type.
std::vector<std::uint32_t> Cardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, type, 0, 1024), nullptr), &std::free);
    if (!reply || reply->type != type || reply->format != 32) return {};
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<std::uint32_t>(data, data + xcb_get_property_value_length(reply.get()) / 4);
}

xcb_screen_t* DefaultScreen(xcb_connection_t* c) { return xcb_setup_roots_iterator(xcb_get_setup(c)).data; }

// Whether a window manager runs, and whether it answers
// _NET_REQUEST_FRAME_EXTENTS. Without a manager there is no frame at all.
enum class Manager { None, Answers, Silent };
Manager FindManager(xcb_connection_t* c) {
    const xcb_window_t root = DefaultScreen(c)->root;
    const xcb_atom_t checkAtom = Atom(c, "_NET_SUPPORTING_WM_CHECK");
    const auto check = Cardinals(c, root, checkAtom, XCB_ATOM_WINDOW);
    // A manager that has gone leaves its root properties behind; its check
    // window is gone with it.
    if (check.empty() || Cardinals(c, check[0], checkAtom, XCB_ATOM_WINDOW).empty()) return Manager::None;
    const xcb_atom_t request = Atom(c, "_NET_REQUEST_FRAME_EXTENTS");
    for (std::uint32_t atom : Cardinals(c, root, Atom(c, "_NET_SUPPORTED"), XCB_ATOM_ATOM))
        if (atom == request) return Manager::Answers;
    return Manager::Silent;
}

void WriteMotifHints(xcb_connection_t* c, xcb_window_t window, const MotifHints& hints) {
    const xcb_atom_t atom = Atom(c, "_MOTIF_WM_HINTS");
    const std::uint32_t data[5] = {hints.flags, hints.functions, hints.decorations,
                                   static_cast<std::uint32_t>(hints.inputMode), hints.status};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom, atom, 32, 5, data);
    xcb_flush(c);
}

void WriteWindowTypes(xcb_connection_t* c, xcb_window_t window, const QStringList& types) {
    std::vector<xcb_atom_t> atoms;
    for (const QString& type : types) atoms.push_back(Atom(c, type.toLatin1().constData()));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, Atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(atoms.size()), atoms.data());
    xcb_flush(c);
}

QString AtomName(xcb_connection_t* c, xcb_atom_t atom) {
    XcbReply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr),
                                              &std::free);
    if (!reply) return {};
    return QString::fromLatin1(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

// What the manager tells of a window before it is shown.
struct ManagerAnswer {
    std::optional<QMargins> frame;
    QStringList allowedActions;  // without "_NET_WM_ACTION_"
};

// Asks the manager about a window of these types and hints, through a probe
// window of our own that is never mapped: Qt's windows are left alone until
// they are shown.
ManagerAnswer AskManager(xcb_connection_t* c, const QStringList& types, const std::optional<MotifHints>& hints) {
    xcb_screen_t* screen = DefaultScreen(c);
    const xcb_window_t probe = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 100, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    WriteWindowTypes(c, probe, types);
    if (hints) WriteMotifHints(c, probe, *hints);

    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = probe;
    event.type = Atom(c, "_NET_REQUEST_FRAME_EXTENTS");
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(c);

    const xcb_atom_t extents = Atom(c, "_NET_FRAME_EXTENTS");
    ManagerAnswer answer;
    // A manager answers within milliseconds; one that has not within half a
    // second is taken as silent, and the frame is learnt after showing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    do {
        const auto v = Cardinals(c, probe, extents, XCB_ATOM_CARDINAL);
        if (v.size() == 4) {
            // The property's order is left, right, top, bottom.
            answer.frame = QMargins(static_cast<int>(v[0]), static_cast<int>(v[2]), static_cast<int>(v[1]),
                                    static_cast<int>(v[3]));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    // Openbox sets the allowed actions before the frame; a manager that sets
    // none leaves the list empty.
    if (answer.frame) {
        const QString prefix = QStringLiteral("_NET_WM_ACTION_");
        for (std::uint32_t atom : Cardinals(c, probe, Atom(c, "_NET_WM_ALLOWED_ACTIONS"), XCB_ATOM_ATOM)) {
            const QString name = AtomName(c, atom);
            if (name.startsWith(prefix)) answer.allowedActions << name.mid(prefix.size());
        }
    }
    xcb_destroy_window(c, probe);
    xcb_flush(c);
    return answer;
}

// The manager's answer for a window of these types and hints; managers treat
// windows alike by those, so it is asked once for each.
const ManagerAnswer& Answer(xcb_connection_t* c, const QStringList& types, const std::optional<MotifHints>& hints) {
    static std::map<QString, ManagerAnswer> known;
    QString key = types.join(QLatin1Char(' '));
    if (hints) key += QStringLiteral(" %1 %2 %3").arg(hints->flags).arg(hints->functions).arg(hints->decorations);
    auto it = known.find(key);
    if (it == known.end()) it = known.emplace(key, AskManager(c, types, hints)).first;
    return it->second;
}

Manager RunningManager(xcb_connection_t* c) {
    static const Manager manager = FindManager(c);
    return manager;
}

std::optional<QMargins> X11FrameExtents(xcb_connection_t* c, const QWidget* window) {
    switch (RunningManager(c)) {
        case Manager::None:
            return QMargins();
        case Manager::Silent:
            return std::nullopt;
        case Manager::Answers:
            break;
    }
    QStringList types = RequestedWindowTypes(window);
    if (types.isEmpty()) types << QtWindowType(window->windowType());
    return Answer(c, types, RequestedMotifHints(window)).frame;
}

// Qt writes its own hints and window type whenever it sets up the native
// window's flags; ours go on at each showing, after Qt's and before the
// window is mapped.
class HintsKeeper : public QObject {
public:
    HintsKeeper(QWidget* window, const MotifHints& hints, const QStringList& types)
        : QObject(window), hints_(hints), types_(types) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (xcb_connection_t* c = X11Connection()) {
                const auto window = static_cast<xcb_window_t>(static_cast<QWidget*>(watched)->winId());
                WriteMotifHints(c, window, hints_);
                if (!types_.isEmpty()) WriteWindowTypes(c, window, types_);
            }
        return false;
    }

private:
    MotifHints hints_;
    QStringList types_;
};

// What the program's own X events tell about its windows: which windows
// being shown the server has exposed since they were mapped, and clicks on
// and activations of any window of the program, also of those that the
// toolkit leaves alone because a modal window blocks them.
class X11Watch : public QAbstractNativeEventFilter {
public:
    static X11Watch& Instance() {
        static X11Watch* watch = [] {
            auto* w = new X11Watch;
            // Qt takes the pointer's buttons through XInput 2.
            static const char kXInput[] = "XInputExtension";
            XcbReply<xcb_query_extension_reply_t> reply(
                xcb_query_extension_reply(X11Connection(),
                                          xcb_query_extension(X11Connection(), sizeof kXInput - 1, kXInput), nullptr),
                &std::free);
            if (reply && reply->present) w->xinput_ = reply->major_opcode;
            QCoreApplication::instance()->installNativeEventFilter(w);
            return w;
        }();
        return *watch;
    }

    void Arm(xcb_window_t window) { shown_[window] = Stage::Shown; }
    bool Exposed(xcb_window_t window) const {
        const auto it = shown_.find(window);
        return it != shown_.end() && it->second == Stage::Exposed;
    }
    std::function<void()> onClick;
    std::function<void()> onActivate;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        switch (event->response_type & 0x7F) {
            case XCB_MAP_NOTIFY:
                Advance(reinterpret_cast<const xcb_map_notify_event_t*>(event)->window, Stage::Shown, Stage::Mapped);
                break;
            case XCB_UNMAP_NOTIFY: {
                const auto it = shown_.find(reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window);
                if (it != shown_.end()) it->second = Stage::Shown;
                break;
            }
            case XCB_EXPOSE:
                Advance(reinterpret_cast<const xcb_expose_event_t*>(event)->window, Stage::Mapped, Stage::Exposed);
                break;
            case XCB_BUTTON_PRESS:
                if (onClick) onClick();
                break;
            case XCB_GE_GENERIC: {
                constexpr std::uint16_t kButtonPress = 4, kTouchBegin = 18;
                const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
                if (xinput_ && ge->extension == xinput_ &&
                    (ge->event_type == kButtonPress || ge->event_type == kTouchBegin) && onClick)
                    onClick();
                break;
            }
            case XCB_FOCUS_IN: {
                // The window itself gets the focus, not a grab's passing
                // change or one of its children.
                const auto* focus = reinterpret_cast<const xcb_focus_in_event_t*>(event);
                const bool grab = focus->mode == XCB_NOTIFY_MODE_GRAB || focus->mode == XCB_NOTIFY_MODE_UNGRAB;
                const bool itself = focus->detail == XCB_NOTIFY_DETAIL_ANCESTOR ||
                                    focus->detail == XCB_NOTIFY_DETAIL_VIRTUAL ||
                                    focus->detail == XCB_NOTIFY_DETAIL_NONLINEAR ||
                                    focus->detail == XCB_NOTIFY_DETAIL_NONLINEAR_VIRTUAL;
                if (!grab && itself && onActivate) onActivate();
                break;
            }
            default:
                break;
        }
        return false;
    }

private:
    // A window being shown is first mapped, and then, once it and its
    // frame are on the screen, exposed.
    enum class Stage { Shown, Mapped, Exposed };
    void Advance(xcb_window_t window, Stage from, Stage to) {
        const auto it = shown_.find(window);
        if (it != shown_.end() && it->second == from) it->second = to;
    }
    std::map<xcb_window_t, Stage> shown_;
    std::uint8_t xinput_ = 0;
};

#endif

// The modal window that blocks the others, when it is minimised.
QWidget* MinimisedModal() {
    QWidget* modal = QApplication::activeModalWidget();
    return modal && modal->isVisible() && modal->isMinimized() ? modal : nullptr;
}

// Restores a minimised modal window when another window of the program is
// activated or clicked. Minimising a window makes the manager hand the focus
// to another one at once, and the toolkit may learn of the minimising only
// afterwards; activations in that moment are the manager's, not the user's,
// and leave the modal window minimised.
class MinimisedModalWatch : public QObject {
public:
    static constexpr int kHandOverMs = 1000;

    void Clicked() { RestoreMinimisedModal(); }
    void Activated(const QWidget* window) {
        QWidget* modal = MinimisedModal();
        if (!modal || window == modal) return;
        if (modal == minimised_ && !sinceMinimised_.hasExpired(kHandOverMs)) return;
        RestoreMinimisedModal();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::WindowStateChange:
                if (watched->isWidgetType() && watched == MinimisedModal()) {
                    minimised_ = static_cast<QWidget*>(watched);
                    sinceMinimised_.start();
                }
                break;
            case QEvent::WindowActivate:
                if (watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow())
                    Activated(static_cast<QWidget*>(watched));
                break;
            case QEvent::MouseButtonPress:
            case QEvent::NonClientAreaMouseButtonPress:
                Clicked();
                break;
            default:
                break;
        }
        return false;
    }

private:
    QPointer<QWidget> minimised_;
    QElapsedTimer sinceMinimised_;
};

}  // namespace

bool IgnoresMotifFunctions(const QStringList& allowedActions) {
    for (const char* action : {"MINIMIZE", "MAXIMIZE_HORZ", "MAXIMIZE_VERT"})
        if (allowedActions.contains(QLatin1String(action))) return true;
    return false;
}

QStringList NoButtonsWindowTypes(Qt::WindowType type, bool ignoresMotifFunctions) {
    if (!ignoresMotifFunctions) return {};
    return {QStringLiteral("_NET_WM_WINDOW_TYPE_TOOLBAR"), QtWindowType(type)};
}

MotifHints NoButtonsHints() {
    MotifHints hints;
    hints.flags = mwm::kHintFunctions | mwm::kHintDecorations;
    hints.functions = mwm::kFuncMove | mwm::kFuncResize;
    hints.decorations = mwm::kDecorBorder | mwm::kDecorResizeHandle | mwm::kDecorTitle;
    return hints;
}

void RemoveTitleBarButtons(QWidget* window) {
    const Qt::WindowFlags flags =
        (window->windowFlags() & Qt::WindowType_Mask) | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    // Changing the flags makes the native window anew; set them only when needed.
    if (window->windowFlags() != flags) window->setWindowFlags(flags);
    const MotifHints hints = NoButtonsHints();
    window->setProperty(kHintsProperty,
                        QVariant::fromValue(QList<quint32>{hints.flags, hints.functions, hints.decorations,
                                                           static_cast<quint32>(hints.inputMode), hints.status}));
#ifdef DUVO_HAVE_XCB
    if (xcb_connection_t* c = X11Connection()) {
        QStringList types;
        if (RunningManager(c) == Manager::Answers) {
            const ManagerAnswer& answer = Answer(c, {QtWindowType(window->windowType())}, hints);
            types = NoButtonsWindowTypes(window->windowType(), IgnoresMotifFunctions(answer.allowedActions));
        }
        window->setProperty(kTypesProperty, types);
        new HintsKeeper(window, hints, types);
    }
#endif
}

std::optional<MotifHints> RequestedMotifHints(const QWidget* window) {
    const QVariant value = window->property(kHintsProperty);
    if (!value.isValid()) return std::nullopt;
    const auto v = value.value<QList<quint32>>();
    if (v.size() != 5) return std::nullopt;
    return MotifHints{v[0], v[1], v[2], static_cast<std::int32_t>(v[3]), v[4]};
}

QStringList RequestedWindowTypes(const QWidget* window) { return window->property(kTypesProperty).toStringList(); }

std::optional<QMargins> FrameExtents(QWidget* window) {
#ifdef DUVO_HAVE_XCB
    if (xcb_connection_t* c = X11Connection()) return X11FrameExtents(c, window);
#endif
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        // Qt's own frame, known as soon as the native window exists.
        window->winId();
        const QRect frame = window->frameGeometry(), client = window->geometry();
        return QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                        frame.bottom() - client.bottom());
    }
    return std::nullopt;
}

void FlushToScreen() {
#ifdef DUVO_HAVE_XCB
    // A round trip: the server handles requests in order, so once it answers
    // it has drawn everything sent before.
    if (xcb_connection_t* c = X11Connection()) std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
#endif
}

void WatchExposure(QWidget* window) {
#ifdef DUVO_HAVE_XCB
    if (X11Connection()) X11Watch::Instance().Arm(static_cast<xcb_window_t>(window->winId()));
#else
    (void)window;
#endif
}

bool WaitUntilExposed(QWidget* window, int timeoutMs) {
    auto exposed = [window] {
#ifdef DUVO_HAVE_XCB
        if (X11Connection()) return X11Watch::Instance().Exposed(static_cast<xcb_window_t>(window->winId()));
#endif
        return window->windowHandle() && window->windowHandle()->isExposed();
    };
    const QDeadlineTimer deadline(timeoutMs);
    while (window->isVisible() && !exposed() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        // processEvents returns at once when nothing is pending.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return exposed();
}

bool RestoreMinimisedModal() {
    QWidget* modal = MinimisedModal();
    if (!modal) return false;
    modal->setWindowState(modal->windowState() & ~Qt::WindowMinimized);
    modal->show();
    modal->raise();
    modal->activateWindow();
    return true;
}

void WatchForMinimisedModals() {
    static MinimisedModalWatch* watch = nullptr;
    if (watch) return;
    watch = new MinimisedModalWatch;
    watch->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(watch);
#ifdef DUVO_HAVE_XCB
    // The toolkit is still handling the event when the filter sees it; the
    // window is restored from the event loop.
    if (X11Connection()) {
        X11Watch& x11 = X11Watch::Instance();
        x11.onClick = [] {
            QMetaObject::invokeMethod(
                watch, [] { watch->Clicked(); }, Qt::QueuedConnection);
        };
        x11.onActivate = [] {
            QMetaObject::invokeMethod(
                watch, [] { watch->Activated(nullptr); }, Qt::QueuedConnection);
        };
    }
#endif
}

}  // namespace duvo
