#include "app/Forms.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>

#include "app/About.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "widgets/WindowManager.h"

namespace duvo {

TFormSet Forms;

namespace {
QString g_decimalSymbol = QStringLiteral(".");
}

void CreateForms() {
    // Only the main window's end ends the program; the others just hide.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    ReadRegionalSettings();
    // A minimised modal window blocks every other one; a click or an
    // activation brings it back.
    WatchForMinimisedModals();
    // Each window is stored as soon as it exists, so a later constructor may
    // already reach the ones before it.
    Forms.MainForm = new TMainForm;
    Forms.PanelForm = new TPanelForm;
    Forms.WynikForm = new TWynikForm;
    Forms.ProgressForm = new TProgressForm;
    Forms.ProcentForm = new TProcentForm;
    Forms.CheckForm = new TCheckForm;
    Forms.AboutForm = new TAboutForm;
    Forms.Form1 = new TForm1;
    Forms.MainForm->show();
}

void DestroyForms() {
    delete Forms.Form1;
    delete Forms.AboutForm;
    delete Forms.CheckForm;
    delete Forms.ProcentForm;
    delete Forms.ProgressForm;
    delete Forms.WynikForm;
    delete Forms.PanelForm;
    delete Forms.MainForm;
    Forms = TFormSet{};
}

QString ApplicationTitle() {
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

QString DecimalSymbol() { return g_decimalSymbol; }

void SetDecimalSymbol(const QString& symbol) { g_decimalSymbol = symbol; }

void ReadRegionalSettings() {
    const QString point = QLocale::system().decimalPoint();
    g_decimalSymbol = point.isEmpty() ? QStringLiteral(".") : point;
}

}  // namespace duvo
