#include "results/Wynik.h"

#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include "widgets/FormSupport.h"
#include "widgets/ImageControl.h"

namespace duvo {

TWynikForm::TWynikForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("WynikForm"));
    setWindowTitle(QStringLiteral("Wynik graficzny:"));
    setFont(SansSerif(10));
    SetBackground(this, Background::ButtonFace);

    // The client area scrolls when the picture is larger than the window.
    ClientArea = new QScrollArea(this);
    ClientArea->setFrameStyle(QFrame::NoFrame);
    ClientArea->setWidgetResizable(false);
    ClientArea->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ClientArea->viewport()->setAutoFillBackground(false);
    // The window's own minimum decides how small the client may be.
    ClientArea->setMinimumSize(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(ClientArea);

    WynikImage = new TImageControl;
    WynikImage->setObjectName(QStringLiteral("WynikImage"));
    WynikImage->SetBounds(0, 0, 267, 196);
    ClientArea->setWidget(WynikImage);

    SetOuterGeometry(this, 297, 219, 348, 309);
}

void TWynikForm::FormShow() {
    MoveFrame(this, 400, 20);
    WynikImage->SetWidth(WynikImage->Picture().Width());
    WynikImage->SetHeight(WynikImage->Picture().Height());
    // The client is the picture plus two, but never so small that the frame
    // loses its caption and buttons, and no larger than the screen's room
    // right and below the window's place: a larger picture scrolls, so the
    // close box and scroll bars stay within reach. The picture stays at the
    // top-left; the rest is the window's background.
    const QMargins frame = FrameMargins(this);
    const QSize smallest(kMinimumOuter.width() - frame.left() - frame.right(),
                         kMinimumOuter.height() - frame.top() - frame.bottom());
    setMinimumSize(smallest.expandedTo(QSize(1, 1)));
    QSize client = QSize(WynikImage->Width() + 2, WynikImage->Height() + 2).expandedTo(minimumSize());
    if (const QScreen* screen = this->screen()) {
        const QRect room = screen->availableGeometry();
        const QSize most(room.right() + 1 - 400 - frame.left() - frame.right(),
                         room.bottom() + 1 - 20 - frame.top() - frame.bottom());
        client = client.boundedTo(most.expandedTo(minimumSize()));
    }
    resize(client);
}

void TWynikForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormShow();
    QWidget::showEvent(event);
}

void ShowForm(QWidget* form) {
    if (form->isVisible()) {
        form->raise();
        form->activateWindow();
        return;
    }
    form->show();
}

}  // namespace duvo
