#include "results/procent.h"

#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>

#include "widgets/FormSupport.h"

namespace duvo {

namespace {

struct Row {
    int top;
    const char* field;
    const char* caption;
    const char* label;
};

constexpr Row kRows[] = {
    {5, "Edit1", "Ten sam kolor", ""},
    {33, "Edit2", "Różnice < 10%", "Label2"},
    {60, "Edit3", "Różnica 10 - 20  %", "Label3"},
    {88, "Edit4", "Różnica 20 - 30  %", "Label6"},
    {115, "Edit5", "Różnica 30 - 40  %", "Label1"},
    {143, "Edit6", "Różnica 40 - 50  %", "Label5"},
    {170, "Edit7", "Różnica > 50 %", "Label4"},
};

}  // namespace

TProcentForm::TProcentForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("ProcentForm"));
    setWindowTitle(QStringLiteral("Procenty"));
    setFont(SansSerif(10));
    SetBackground(this, Background::White);

    QLineEdit* fields[7];
    QLabel* labels[7];
    for (int i = 0; i < 7; ++i) {
        const Row& row = kRows[i];
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(row.field));
        edit->setGeometry(5, row.top, 124, 24);
        edit->setReadOnly(true);
        edit->setFont(SansSerif(11, true));
        QPalette palette = edit->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::Base, kGray);
            palette.setColor(group, QPalette::Text, Qt::white);
        }
        edit->setPalette(palette);
        QObject::connect(edit, &QLineEdit::textChanged, edit, &QLineEdit::setToolTip);
        edit->installEventFilter(this);
        fields[i] = edit;

        auto* label = new QLabel(QString::fromUtf8(row.caption), this);
        label->setObjectName(QString::fromLatin1(row.label));
        label->setFont(SansSerif(13, true));
        SetTextColor(label, kNavy);
        label->move(136, row.top);
        label->adjustSize();
        labels[i] = label;
    }
    Edit1 = fields[0];
    Edit2 = fields[1];
    Edit3 = fields[2];
    Edit4 = fields[3];
    Edit5 = fields[4];
    Edit6 = fields[5];
    Edit7 = fields[6];
    Caption1 = labels[0];
    Label2 = labels[1];
    Label3 = labels[2];
    Label6 = labels[3];
    Label1 = labels[4];
    Label5 = labels[5];
    Label4 = labels[6];
    for (int i = 0; i + 1 < 7; ++i) setTabOrder(fields[i], fields[i + 1]);

    SetOuterGeometry(this, 270, 297, 273, 224);
}

bool TProcentForm::eventFilter(QObject* watched, QEvent* event) {
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (!field) return QWidget::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::FocusIn:
            switch (static_cast<QFocusEvent*>(event)->reason()) {
                case Qt::TabFocusReason:
                case Qt::BacktabFocusReason:
                case Qt::ShortcutFocusReason:
                    // The field selects its whole text, which ends at the end.
                    break;
                case Qt::MouseFocusReason:
                    // The press that follows places the cursor where it was
                    // clicked, in the view the user saw.
                    clickedInto_ = field;
                    break;
                default:
                    field->end(false);
                    break;
            }
            break;
        case QEvent::MouseButtonRelease:
            if (field == clickedInto_) {
                clickedInto_ = nullptr;
                if (!field->hasSelectedText()) field->end(false);
            }
            break;
        case QEvent::FocusOut:
            if (field == clickedInto_) clickedInto_ = nullptr;
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace duvo
