#include "widgets/FormSupport.h"

#include <QCheckBox>
#include <QDialog>
#include <QEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QWidget>
#include <optional>

#include "widgets/WindowManager.h"

namespace duvo {

QString FallbackFamily() {
    static const QString family = [] {
        // The design faces are Arial-like in width; a face with Arial's metrics
        // keeps the captions within the sizes the windows give them, where
        // the wider DejaVu Sans would be cut.
        for (const char* name : {"Liberation Sans", "Arimo", "Nimbus Sans", "Nimbus Sans L"})
            if (QFontDatabase::hasFamily(QLatin1String(name))) return QString::fromLatin1(name);
        if (QFontDatabase::hasFamily(QStringLiteral("DejaVu Sans"))) return QStringLiteral("DejaVu Sans");
        QFont probe(QStringLiteral("sans-serif"));
        probe.setStyleHint(QFont::SansSerif);
        return QFontInfo(probe).family();
    }();
    return family;
}

QFont FormFont(const QString& face, int pixelHeight, bool bold) {
    QFont font;
    font.setFamily(QFontDatabase::hasFamily(face) ? face : FallbackFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

void SetBackground(QWidget* widget, Background background) {
    QPalette palette = widget->palette();
    QColor color;
    switch (background) {
        case Background::ButtonFace:
            color = palette.color(QPalette::Button);
            break;
        case Background::Window:
            color = palette.color(QPalette::Base);
            break;
        case Background::White:
            color = Qt::white;
            break;
    }
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

namespace {

// Where the frame is not known before the first showing, re-applies the
// window's outer size once it is shown and Qt has learnt the frame.
class OuterGeometry : public QObject {
public:
    static constexpr const char* kName = "duvo_outer_geometry";

    OuterGeometry(QWidget* window, const QSize& outer) : QObject(window), window_(window), outer_(outer) {
        setObjectName(QLatin1String(kName));
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Show) {
            window_->removeEventFilter(this);
            const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
            window_->resize(std::max(0, outer_.width() - frame.width()), std::max(0, outer_.height() - frame.height()));
            deleteLater();
        }
        return false;
    }

private:
    QWidget* window_;
    QSize outer_;
};

}  // namespace

QMargins FrameMargins(QWidget* window) {
    if (const std::optional<QMargins> known = FrameExtents(window)) return *known;
    const QRect frame = window->frameGeometry(), client = window->geometry();
    return QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                    frame.bottom() - client.bottom());
}

void SetOuterGeometry(QWidget* window, int left, int top, int width, int height) {
    // The last geometry given wins over one still waiting for the first show.
    for (QObject* old : window->findChildren<QObject*>(QLatin1String(OuterGeometry::kName), Qt::FindDirectChildrenOnly))
        delete old;
    const std::optional<QMargins> frame = FrameExtents(window);
    const QMargins m = frame.value_or(QMargins());
    window->resize(std::max(0, width - m.left() - m.right()), std::max(0, height - m.top() - m.bottom()));
    MoveFrame(window, left, top);
    if (!frame && !window->isVisible()) new OuterGeometry(window, QSize(width, height));
}

void MoveFrame(QWidget* window, int left, int top) {
    // Qt places a frame only once it has seen one; with the frame told
    // beforehand the client area goes exactly where the frame puts it.
    if (const std::optional<QMargins> frame = FrameExtents(window))
        window->setGeometry(QRect(QPoint(left + frame->left(), top + frame->top()), window->size()));
    else
        window->move(left, top);
}

void FitLabel(QLabel* label, int maxRight) {
    QFont font = label->font();
    for (int step = 1; label->x() + label->sizeHint().width() > maxRight && step <= 10; ++step) {
        font.setLetterSpacing(QFont::AbsoluteSpacing, -0.1 * step);
        label->setFont(font);
    }
    label->adjustSize();
}

void UseSmallIndicator(QCheckBox* box) {
    box->setStyleSheet(QStringLiteral("QCheckBox::indicator { width: 11px; height: 11px; }"));
}

bool HandleModalKeys(QDialog* dialog, QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            event->accept();
            return true;
        case Qt::Key_Enter:
        case Qt::Key_Return:
            if (auto* button = qobject_cast<QPushButton*>(dialog->focusWidget())) button->click();
            event->accept();
            return true;
        default:
            return false;
    }
}

}  // namespace duvo
