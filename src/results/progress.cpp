#include "results/progress.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QLabel>
#include <QProgressBar>
#include <QShowEvent>

#include "widgets/FormSupport.h"
#include "widgets/WindowManager.h"

namespace duvo {

TProgressForm::TProgressForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("ProgressForm"));
    setWindowTitle(QStringLiteral("Prosze czekac, bedzie wynik..."));
    setFont(SansSerif(10));
    SetBackground(this, Background::ButtonFace);

    Label1 = new QLabel(QStringLiteral("Prosze czekac , bedzie rozmowa."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(SansSerif(15));
    Label1->move(26, 0);
    Label1->adjustSize();

    RemoveTitleBarButtons(this);
    SetOuterGeometry(this, 287, 278, 247, 95);
    FitLabel(Label1, width());
}

void TProgressForm::FormShow() {
    WatchExposure(this);
    setCursor(Qt::WaitCursor);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    PlaceBar();
    ProgressBar->show();
}

void TProgressForm::FormHide() {
    delete ProgressBar;
    ProgressBar = nullptr;
    unsetCursor();
}

void TProgressForm::PaintNow() {
    // The manager puts the window on the screen a moment after show(); what
    // is painted before is lost, and the comparison then holds the thread.
    WaitUntilExposed(this, kExposeWaitMs);
    repaint();
    FlushToScreen();
}

void TProgressForm::StepIt() {
    if (!ProgressBar) return;
    ProgressBar->setValue(std::min(ProgressBar->value() + 1, ProgressBar->maximum()));
    // The comparison does not return to the event loop until it ends: the
    // whole window is drawn at each step, so a part the screen lost (an
    // expose that came during the loop) is back by the next one.
    repaint();
    FlushToScreen();
}

void TProgressForm::PlaceBar() {
    if (!ProgressBar) return;
    // Aligned to the bottom edge, full width, at the bar's own height.
    const int h = ProgressBar->sizeHint().height();
    ProgressBar->setGeometry(0, height() - h, width(), h);
}

void TProgressForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous() && !ProgressBar) FormShow();
    QWidget::showEvent(event);
}

void TProgressForm::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) FormHide();
    QWidget::hideEvent(event);
}

void TProgressForm::resizeEvent(QResizeEvent* event) {
    PlaceBar();
    QWidget::resizeEvent(event);
}

void TProgressForm::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace duvo
