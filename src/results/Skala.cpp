#include "results/Skala.h"

#include <QLabel>

#include "widgets/FormSupport.h"
#include "widgets/Glyphs.h"
#include "widgets/ImageControl.h"

namespace duvo {

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Skala porównawcza"));
    setFont(SansSerif(11));
    SetBackground(this, Background::ButtonFace);

    Image1 = new TImageControl(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->SetBounds(8, 0, 145, 257);
    // The strip is part of the window's design, stored with the program.
    ReadStoredPicture("scale.dat", Image1->Picture());

    auto caption = [this](const char* name, const QString& text, const QFont& font, int top) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(font);
        label->move(160, top);
        label->adjustSize();
        return label;
    };
    Label1 = caption("Label1", QStringLiteral("Duża różnica"), FormFont(QStringLiteral("Arial"), 16, true), 8);
    Label3 = caption("Label3", QStringLiteral("<-------------------   50 %"), SansSerif(11), 120);
    Label2 = caption("Label2", QStringLiteral("Mala różnica"), FormFont(QStringLiteral("Arial"), 16, true), 232);

    SetOuterGeometry(this, 591, 178, 273, 289);
}

}  // namespace duvo
