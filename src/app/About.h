// The about window: what the program is and who made it.
#pragma once

#include <QDialog>

class QTextEdit;
class QPushButton;

namespace duvo {

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    QTextEdit* Memo1;
    QPushButton* Button1;

    void Button1Click();

protected:
    // Closing with the close box counts as OK.
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace duvo
