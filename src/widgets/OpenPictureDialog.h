// The open command's file dialog: a non-native file dialog with the program's
// filter list and a picture preview beside the file list. The object keeps
// what the user chose last, so the next run starts from there.
#pragma once

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>

#include "loading/open_routes.h"

class QFileDialog;

namespace duvo {

// "desc|patterns|desc|patterns..." into Qt name filters "desc (p1 p2)".
QStringList NameFilters(const QString& filter);

class TPicturePreview : public QWidget {
    Q_OBJECT
public:
    explicit TPicturePreview(QWidget* parent = nullptr);

    // Loads the file through the picture registry; any failure shows no
    // picture, and so does a name that is not an existing file. The file
    // shown already is not loaded again.
    void ShowFile(const QString& fileName);
    // Shows what a failed load shows: the label "Picture:" and no picture.
    void Clear();
    // The file whose picture is shown; empty when none is.
    const QString& ShownFile() const { return shown_; }

    QLabel* PictureLabel;
    QLabel* ImageCtrl;
    // The full-size picture last shown, null after a failure.
    const QImage& Picture() const { return picture_; }

private:
    QImage picture_;
    QString shown_;
};

class TOpenPictureDialog {
public:
    QString Filter = QString::fromStdString(OpenDialogFilter());
    // 1-based, as the filter pairs are counted.
    int FilterIndex = 1;
    QString FileName;

    // A dialog set up from the last choice; the preview is a child of it.
    std::unique_ptr<QFileDialog> MakeWindow() const;
    // Reads the user's choice back from an accepted dialog and keeps it.
    QString TakeResult(const QFileDialog& window);
    static TPicturePreview* Preview(const QFileDialog& window);
};

}  // namespace duvo
