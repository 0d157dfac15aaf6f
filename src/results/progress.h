// The progress window shown while a comparison walks its rows. Its bar exists
// only while the window is shown, so every comparison starts from empty.
#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

namespace duvo {

class TProgressForm : public QWidget {
    Q_OBJECT
public:
    explicit TProgressForm(QWidget* parent = nullptr);

    QLabel* Label1;
    QProgressBar* ProgressBar = nullptr;

    void FormShow();
    // Draws the window at once, before the comparison holds the thread:
    // waits (kExposeWaitMs at most) until the window is on the screen.
    void PaintNow();
    static constexpr int kExposeWaitMs = 1000;
    void FormHide();
    // Advances the bar by its step (one) and draws the window at once.
    void StepIt();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The user cannot close it, not even through a close button a window
    // manager draws anyway.
    void closeEvent(QCloseEvent* event) override;

private:
    void PlaceBar();
};

}  // namespace duvo
