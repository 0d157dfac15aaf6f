// Prints figures of the desktop program for the record (not a test):
//   duvo_gui_figures memory [SIDE]   resident memory around opening one
//                                    SIDE x SIDE BMP into both panes
//   duvo_gui_figures compare A B     time of the compare command on two files,
//                                    up to the result windows being painted
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <filesystem>

#include "app/About.h"
#include "app/Forms.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "compare/compare.h"
#include "gui_fixture.h"
#include "loading/open_routes.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "widgets/ImageControl.h"

using namespace duvo;
using namespace duvo::test;

namespace {

void OpenInto(ScriptedDialogs& dialogs, const std::string& file, int side) {
    dialogs.openAnswers.push_back(QString::fromStdString(file));
    dialogs.onModal = [side](QDialog& d) {
        auto& panel = dynamic_cast<TPanelForm&>(d);
        panel.SetItemIndex(side);
        panel.OKBtn->click();
    };
    Forms.MainForm->FileOpenItem->trigger();
    QApplication::processEvents();
}

int Memory(ScriptedDialogs& dialogs, int side) {
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("big.bmp")).toStdString();
    WriteBmp(file, side, side, [](int x, int y) { return (x ^ y) & 0xFFFFFF; });
    const double mb = static_cast<double>(std::filesystem::file_size(file)) / 1048576.0;
    Forms.MainForm->show();
    QApplication::processEvents();
    const long before = ResidentKb();
    OpenInto(dialogs, file, 0);
    const long afterFirst = ResidentKb();
    OpenInto(dialogs, file, 1);
    const long afterSecond = ResidentKb();
    auto* left = dynamic_cast<TBitmap*>(Forms.MainForm->Image1->Picture().Graphic());
    auto* right = dynamic_cast<TBitmap*>(Forms.MainForm->Image2->Picture().Graphic());
    auto* temp = dynamic_cast<TBitmap*>(Forms.MainForm->ImageTemp->Picture().Graphic());
    std::printf("picture %dx%d, file %.1f MB\n", side, side, mb);
    std::printf("VmRSS before %ld kB, after first open %ld kB (+%.1f MB), after second open %ld kB (+%.1f MB)\n",
                before, afterFirst, (afterFirst - before) / 1024.0, afterSecond, (afterSecond - afterFirst) / 1024.0);
    std::printf("right pane shares the scratch pane's store: %s; left and right share: %s\n",
                right && temp && right->SharesStoreWith(*temp) ? "yes" : "no",
                left && right && left->SharesStoreWith(*right) ? "yes" : "no");
    const long beforePaint = ResidentKb();
    Forms.MainForm->Image1->repaint();
    Forms.MainForm->Image2->repaint();
    QApplication::processEvents();
    std::printf("painting both panes: +%.1f MB, conversions %d + %d, wrapped without copy: %s\n",
                (ResidentKb() - beforePaint) / 1024.0, Forms.MainForm->Image1->ConversionCount(),
                Forms.MainForm->Image2->ConversionCount(), Forms.MainForm->Image1->PaintSharesBits() ? "yes" : "no");
    return 0;
}

int Compare(ScriptedDialogs& dialogs, const std::string& a, const std::string& b, int runs) {
    Forms.MainForm->show();
    OpenInto(dialogs, a, 0);
    OpenInto(dialogs, b, 1);
    dialogs.boxAnswers.push_back(QMessageBox::Yes);
    {
        // The engine alone on the panes' bitmaps, for comparison.
        const auto* left = dynamic_cast<const TBitmap*>(Forms.MainForm->Image1->Picture().Graphic());
        const auto* right = dynamic_cast<const TBitmap*>(Forms.MainForm->Image2->Picture().Graphic());
        for (int i = 0; i < 3 && left && right; ++i) {
            QElapsedTimer timer;
            timer.start();
            TBitmap difference;
            const CompareResult r = CountSimilarity(*left, *right, difference);
            std::printf("engine alone (CountSimilarity): %.1f ms, %llu pixels\n", timer.nsecsElapsed() / 1e6,
                        static_cast<unsigned long long>(r.pixelCount));
        }
    }
    const bool graphic = Forms.CheckForm->Graficznie;
    Forms.CheckForm->Graficznie = false;
    Forms.CheckForm->Procentowo = false;
    for (int i = 0; i < 2; ++i) {
        QElapsedTimer timer;
        timer.start();
        Forms.MainForm->Porownaj->trigger();
        QApplication::processEvents();
        std::printf("compare command, no result window: %.1f ms\n", timer.nsecsElapsed() / 1e6);
    }
    Forms.CheckForm->Graficznie = graphic;
    Forms.CheckForm->Procentowo = true;
    for (int i = 0; i < runs; ++i) {
        Forms.WynikForm->hide();
        Forms.ProcentForm->hide();
        QApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        Forms.MainForm->Porownaj->trigger();
        // Up to the result windows painted.
        QApplication::processEvents();
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        std::printf("compare command to painted result windows: %.1f ms (Edit1 %s)\n", ms,
                    Forms.ProcentForm->Edit1->text().toUtf8().constData());
    }
    return 0;
}

// Grabs of every window after two opens and a comparison, for looking at.
int Shots(ScriptedDialogs& dialogs, const std::string& a, const std::string& b, const QString& out) {
    Forms.MainForm->show();
    OpenInto(dialogs, a, 0);
    OpenInto(dialogs, b, 1);
    dialogs.boxAnswers.push_back(QMessageBox::Yes);
    Forms.MainForm->Porownaj->trigger();
    QApplication::processEvents();
    QWidget* windows[] = {Forms.MainForm,    Forms.PanelForm, Forms.WynikForm, Forms.ProgressForm,
                          Forms.ProcentForm, Forms.CheckForm, Forms.AboutForm, Forms.Form1};
    Forms.ProgressForm->show();
    Forms.CheckForm->show();
    Forms.AboutForm->show();
    Forms.PanelForm->show();
    QApplication::processEvents();
    for (QWidget* w : windows) w->grab().save(out + QLatin1Char('/') + w->objectName() + QStringLiteral(".png"));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitializeFormats();
    ScriptedDialogs dialogs;
    Dialogs::Install(&dialogs);
    CreateForms();
    int rc = 2;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "memory")
        rc = Memory(dialogs, argc > 2 ? std::atoi(argv[2]) : 8192);
    else if (mode == "compare" && argc > 3)
        rc = Compare(dialogs, argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 3);
    else if (mode == "shots" && argc > 4)
        rc = Shots(dialogs, argv[2], argv[3], QString::fromLocal8Bit(argv[4]));
    else
        std::fprintf(stderr, "usage: %s memory [SIDE] | compare A B [RUNS] | shots A B DIR\n", argv[0]);
    DestroyForms();
    Dialogs::Install(nullptr);
    return rc;
}
