// Every modal box and modal dialog of the program goes through one object, so
// tests can answer them without a nested event loop.
#pragma once

#include <QMessageBox>
#include <QString>
#include <memory>
#include <optional>

class QDialog;

namespace duvo {

class TOpenPictureDialog;

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // The platform's modal message box owned by the application; returns the
    // button pressed (QMessageBox::Ok, Yes, No).
    virtual int MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                           QMessageBox::Icon icon);
    // Runs the open dialog; the chosen file name, or nothing when cancelled.
    virtual std::optional<QString> OpenFileName(TOpenPictureDialog& dialog);
    // Shows a dialog modally and returns its result (QDialog::Accepted or
    // Rejected).
    virtual int ExecModal(QDialog& dialog);

    // The instance in use; the default one runs the real windows.
    static Dialogs& Current();
    // Installs another instance (nullptr: the default) and returns the one
    // that was installed before. The caller keeps ownership.
    static Dialogs* Install(Dialogs* dialogs);
};

// The box Dialogs::MessageBox shows: the dialog window type and no title-bar
// buttons, as the side dialog (RemoveTitleBarButtons).
std::unique_ptr<QMessageBox> MakeMessageBox(const QString& text, const QString& caption,
                                            QMessageBox::StandardButtons buttons, QMessageBox::Icon icon);

// Makes the toolkit's own texts (the open dialog, the boxes' buttons, the
// file types) Polish, as the rest of the program is, whatever the user's
// locale: loads Qt's Polish translations and makes Polish the default
// locale; the system's locale stays the user's. False when the translations
// are not installed; the toolkit's own texts then stay English.
bool LoadPolishToolkitTexts();

// Shorthands for the program's boxes.
int ShowMessage(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                QMessageBox::Icon icon = QMessageBox::NoIcon);

}  // namespace duvo
