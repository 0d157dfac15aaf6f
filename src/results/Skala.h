// The comparison scale window: a fixed color strip with three captions that
// tells how to read the difference picture.
#pragma once

#include <QWidget>

class QLabel;

namespace duvo {

class TImageControl;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);

    TImageControl* Image1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
};

}  // namespace duvo
