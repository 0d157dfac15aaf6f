#include "app/Panel.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>

#include "widgets/FormSupport.h"
#include "widgets/WindowManager.h"

namespace duvo {

TPanelForm::TPanelForm(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("PanelForm"));
    setWindowTitle(QStringLiteral("Gdzie wyswietlic rysunek?"));
    setFont(SansSerif(10));
    SetBackground(this, Background::ButtonFace);
    setModal(true);

    Memo1 = new QTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(8, 8, 257, 33);
    Memo1->setFrameStyle(QFrame::NoFrame);
    Memo1->setReadOnly(true);
    Memo1->setEnabled(false);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setFont(FormFont(QStringLiteral("Arial"), 19, true));
    Memo1->document()->setDocumentMargin(0);
    Memo1->setLineWrapMode(QTextEdit::NoWrap);
    Memo1->setPlainText(QStringLiteral("Gdzie wyświetlić rysunek?"));
    {
        QTextCursor cursor(Memo1->document());
        cursor.select(QTextCursor::Document);
        QTextBlockFormat centred;
        centred.setAlignment(Qt::AlignHCenter);
        cursor.mergeBlockFormat(centred);
    }
    {
        // The memo sits on the window's button face, in every state.
        QPalette palette = Memo1->palette();
        const QColor face = this->palette().color(QPalette::Button);
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::Base, face);
            palette.setColor(group, QPalette::Window, face);
        }
        // A disabled memo shows its text in the system's gray text color.
        palette.setColor(QPalette::Disabled, QPalette::Text, kGray);
        Memo1->setPalette(palette);
        Memo1->viewport()->setAutoFillBackground(false);
    }

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(27, 104, 85, 27);

    CancelBtn = new QPushButton(QStringLiteral("Anuluj"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(163, 104, 85, 27);

    for (QPushButton* button : {OKBtn, CancelBtn}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    RadioGroup1 = new QGroupBox(this);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    RadioGroup1->setGeometry(24, 36, 225, 61);
    RadioGroup1->setFont(SansSerif(13));
    LeftItem = new QRadioButton(QStringLiteral("Po lewej stronie"), RadioGroup1);
    LeftItem->setGeometry(8, 9, 209, 20);
    RightItem = new QRadioButton(QStringLiteral("Po prawej stronie"), RadioGroup1);
    RightItem->setGeometry(8, 32, 209, 20);
    LeftItem->setChecked(true);

    setTabOrder(OKBtn, CancelBtn);
    setTabOrder(CancelBtn, LeftItem);

    connect(OKBtn, &QPushButton::clicked, this, &TPanelForm::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TPanelForm::CancelBtnClick);

    RemoveTitleBarButtons(this);
    SetOuterGeometry(this, 300, 251, 281, 169);
}

int TPanelForm::ItemIndex() const { return RightItem->isChecked() ? 1 : 0; }

void TPanelForm::SetItemIndex(int index) { (index == 1 ? RightItem : LeftItem)->setChecked(true); }

void TPanelForm::OKBtnClick() { done(QDialog::Accepted); }

void TPanelForm::CancelBtnClick() { done(QDialog::Rejected); }

void TPanelForm::keyPressEvent(QKeyEvent* event) {
    if (!HandleModalKeys(this, event)) QDialog::keyPressEvent(event);
}

void TPanelForm::closeEvent(QCloseEvent* event) {
    if (event->spontaneous())
        event->ignore();
    else
        QDialog::closeEvent(event);
}

}  // namespace duvo
