// The side dialog of the open command: asks in which pane to show the picture
// just loaded, and remembers the side chosen last.
#pragma once

#include <QDialog>

class QGroupBox;
class QPushButton;
class QRadioButton;
class QTextEdit;

namespace duvo {

class TPanelForm : public QDialog {
    Q_OBJECT
public:
    explicit TPanelForm(QWidget* parent = nullptr);

    QTextEdit* Memo1;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    QGroupBox* RadioGroup1;
    QRadioButton* LeftItem;
    QRadioButton* RightItem;

    // The selected item of RadioGroup1: 0 left, 1 right.
    int ItemIndex() const;
    void SetItemIndex(int index);

    void OKBtnClick();
    void CancelBtnClick();

protected:
    // Neither button is default or cancel: Esc does nothing, Enter presses
    // only a focused button.
    void keyPressEvent(QKeyEvent* event) override;
    // Only its buttons end the dialog: a close asked through the window
    // manager (a close button some managers draw anyway, Alt+F4) does not.
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace duvo
