// The graphic result window: the difference picture of the last comparison.
#pragma once

#include <QWidget>

class QScrollArea;

namespace duvo {

class TImageControl;

class TWynikForm : public QWidget {
    Q_OBJECT
public:
    explicit TWynikForm(QWidget* parent = nullptr);

    QScrollArea* ClientArea;
    TImageControl* WynikImage;

    // Runs each time the window goes from hidden to shown.
    void FormShow();
    // The outer size below which the frame has no room for its caption and
    // title buttons, and a user could neither find nor grab the window.
    static constexpr QSize kMinimumOuter{160, 60};

protected:
    void showEvent(QShowEvent* event) override;
};

// Shows a window that is hidden; one already visible only comes to the front.
void ShowForm(QWidget* form);

}  // namespace duvo
