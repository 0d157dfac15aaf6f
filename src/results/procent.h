// The percentages window: seven read-only fields with the range summary's
// figures, each with its caption to the right.
#pragma once

#include <QWidget>
#include <array>

class QLabel;
class QLineEdit;

namespace duvo {

class TProcentForm : public QWidget {
    Q_OBJECT
public:
    explicit TProcentForm(QWidget* parent = nullptr);

    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QLineEdit* Edit4;
    QLineEdit* Edit5;
    QLineEdit* Edit6;
    QLineEdit* Edit7;
    // The caption of Edit1 has no name of its own.
    QLabel* Caption1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label6;
    QLabel* Label1;
    QLabel* Label5;
    QLabel* Label4;

    // Edit1 .. Edit7 in order.
    std::array<QLineEdit*, 7> Fields() const { return {Edit1, Edit2, Edit3, Edit4, Edit5, Edit6, Edit7}; }

protected:
    // A figure longer than its field (one changed pixel in 300000 gives 20
    // characters) is cut at the right, " %" first: a field that gets the
    // focus scrolls to its end, and its tooltip holds the whole text.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The field whose focus came with a click: it scrolls once the click is
    // over, unless the click began a selection.
    QLineEdit* clickedInto_ = nullptr;
};

}  // namespace duvo
