#include "results/Check.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>

#include "widgets/FormSupport.h"

namespace duvo {

TCheckForm::TCheckForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CheckForm"));
    setWindowTitle(QStringLiteral("Wyniki"));
    setFont(SansSerif(10));
    SetBackground(this, Background::ButtonFace);
    setModal(true);

    Label1 = new QLabel(QStringLiteral("Zaznacz, w jaki sposób mam przedstawic wyniki porównywania obrazów ..."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(SansSerif(13));
    Label1->move(5, 7);
    Label1->adjustSize();

    CheckBox1 = new QCheckBox(QStringLiteral("&Graficznie"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setFont(SansSerif(13));
    CheckBox1->setGeometry(271, 31, 90, 13);

    CheckBox3 = new QCheckBox(QStringLiteral("&Procentowo"), this);
    CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
    CheckBox3->setFont(SansSerif(13));
    CheckBox3->setGeometry(87, 31, 98, 13);
    for (QCheckBox* box : {CheckBox1, CheckBox3}) UseSmallIndicator(box);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(108, 55, 93, 25);

    AnulujButton = new QPushButton(QStringLiteral("Anuluj"), this);
    AnulujButton->setObjectName(QStringLiteral("AnulujButton"));
    AnulujButton->setGeometry(220, 55, 93, 26);

    for (QPushButton* button : {OKButton, AnulujButton}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(CheckBox1, CheckBox3);
    setTabOrder(CheckBox3, OKButton);
    setTabOrder(OKButton, AnulujButton);

    connect(OKButton, &QPushButton::clicked, this, &TCheckForm::OKButtonClick);
    connect(AnulujButton, &QPushButton::clicked, this, &TCheckForm::AnulujButtonClick);

    SetOuterGeometry(this, 282, 256, 456, 115);
    FormCreate();
}

void TCheckForm::FormCreate() {
    Graficznie = true;
    Procentowo = true;
}

void TCheckForm::FormShow() {
    CheckBox1->setChecked(Graficznie);
    CheckBox3->setChecked(Procentowo);
}

void TCheckForm::OKButtonClick() {
    Graficznie = CheckBox1->isChecked();
    Procentowo = CheckBox3->isChecked();
    done(QDialog::Accepted);
}

void TCheckForm::AnulujButtonClick() { done(QDialog::Rejected); }

void TCheckForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormShow();
    QDialog::showEvent(event);
}

void TCheckForm::keyPressEvent(QKeyEvent* event) {
    if (!HandleModalKeys(this, event)) QDialog::keyPressEvent(event);
}

}  // namespace duvo
