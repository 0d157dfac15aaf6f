// The presentation options dialog: two flags that decide which results a
// comparison shows.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

namespace duvo {

class TCheckForm : public QDialog {
    Q_OBJECT
public:
    explicit TCheckForm(QWidget* parent = nullptr);

    bool Graficznie = false;
    bool Procentowo = false;

    QLabel* Label1;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox3;
    QPushButton* OKButton;
    QPushButton* AnulujButton;

    void FormCreate();
    void FormShow();
    void OKButtonClick();
    void AnulujButtonClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace duvo
