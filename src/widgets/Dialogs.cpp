#include "widgets/Dialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "widgets/OpenPictureDialog.h"
#include "widgets/WindowManager.h"

namespace duvo {

namespace {
Dialogs g_default;
Dialogs* g_current = &g_default;
}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(const QString& text, const QString& caption,
                                            QMessageBox::StandardButtons buttons, QMessageBox::Icon icon) {
    auto box = std::make_unique<QMessageBox>(icon, caption, text, buttons);
    // Like the side dialog: a box to answer, not a window to minimise or
    // maximise.
    RemoveTitleBarButtons(box.get());
    return box;
}

int Dialogs::MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                        QMessageBox::Icon icon) {
    return MakeMessageBox(text, caption, buttons, icon)->exec();
}

std::optional<QString> Dialogs::OpenFileName(TOpenPictureDialog& dialog) {
    auto window = dialog.MakeWindow();
    if (ExecModal(*window) != QDialog::Accepted) return std::nullopt;
    return dialog.TakeResult(*window);
}

int Dialogs::ExecModal(QDialog& dialog) { return dialog.exec(); }

bool LoadPolishToolkitTexts() {
    // The toolkit's words that come from the locale rather than from its
    // translations (file types in the open dialog). Figures keep the user's
    // decimal symbol: ReadRegionalSettings asks the system's locale.
    QLocale::setDefault(QLocale(QLocale::Polish, QLocale::Poland));
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
