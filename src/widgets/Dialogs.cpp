#include "widgets/Dialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QTranslator>

#include "widgets/OpenPictureDialog.h"

namespace duvo {

namespace {
Dialogs g_default;
Dialogs* g_current = &g_default;
}  // namespace

int Dialogs::MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                        QMessageBox::Icon icon) {
    QMessageBox box(icon, caption, text, buttons);
    return box.exec();
}

std::optional<QString> Dialogs::OpenFileName(TOpenPictureDialog& dialog) {
    auto window = dialog.MakeWindow();
    if (ExecModal(*window) != QDialog::Accepted) return std::nullopt;
    return dialog.TakeResult(*window);
}

int Dialogs::ExecModal(QDialog& dialog) { return dialog.exec(); }

bool LoadPolishToolkitTexts() {
    static QTranslator* translator = nullptr;
    if (translator) return true;
    auto* loaded = new QTranslator(QCoreApplication::instance());
    if (!loaded->load(QStringLiteral("qtbase_pl"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete loaded;
        return false;
    }
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
    return true;
}

Dialogs& Dialogs::Current() { return *g_current; }

Dialogs* Dialogs::Install(Dialogs* dialogs) {
    Dialogs* previous = g_current == &g_default ? nullptr : g_current;
    g_current = dialogs ? dialogs : &g_default;
    return previous;
}

int ShowMessage(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                QMessageBox::Icon icon) {
    return Dialogs::Current().MessageBox(text, caption, buttons, icon);
}

}  // namespace duvo
