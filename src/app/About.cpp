#include "app/About.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>

#include "widgets/FormSupport.h"

namespace duvo {

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("O programie ..."));
    setFont(SansSerif(10));
    SetBackground(this, Background::ButtonFace);
    setModal(true);

    Memo1 = new QTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(0, 0, 365, 137);
    Memo1->setReadOnly(true);
    Memo1->setFont(SansSerif(13, true));
    // A plain memo: no scroll bars, the text close to the border.
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->document()->setDocumentMargin(1);
    {
        QPalette palette = Memo1->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::Base, Qt::white);
            palette.setColor(group, QPalette::Text, kMaroon);
        }
        Memo1->setPalette(palette);
    }
    Memo1->setPlainText(
        QStringLiteral("Program DUVO.\n"
                       "Jest to porównywarka plików graficznych.\n"
                       "\n"
                       "Autorzy:\n"
                       "the DUVO team\n"
                       "\n"
                       "Dekodery BMP, JPEG i GIF,\n"
                       "silnik porównania i okna:\n"
                       "the DUVO team"));
    {
        // Lines as close as the design's bitmap font sets them, so all nine
        // fit the memo's height with a little room below the last.
        QTextCursor cursor(Memo1->document());
        cursor.select(QTextCursor::Document);
        QTextBlockFormat lines;
        lines.setLineHeight(14, QTextBlockFormat::FixedHeight);
        cursor.mergeBlockFormat(lines);
    }

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(368, 55, 57, 20);
    Button1->setAutoDefault(false);
    Button1->setDefault(false);
    setTabOrder(Memo1, Button1);
    connect(Button1, &QPushButton::clicked, this, &TAboutForm::Button1Click);

    SetOuterGeometry(this, 295, 165, 435, 170);
}

void TAboutForm::Button1Click() { done(QDialog::Accepted); }

void TAboutForm::reject() { done(QDialog::Accepted); }

void TAboutForm::keyPressEvent(QKeyEvent* event) {
    if (!HandleModalKeys(this, event)) QDialog::keyPressEvent(event);
}

}  // namespace duvo
