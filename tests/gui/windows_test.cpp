// The smaller windows: options dialog, about box, scale, percentages and
// progress windows, and the application's default error display.
#include <QtTest/qtestspontaneevent.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include "app/About.h"
#include "app/Commands.h"
#include "app/Forms.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "gui_fixture.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "rtl/exceptions.h"
#include "widgets/Dialogs.h"
#include "widgets/ImageControl.h"
#include "widgets/WindowManager.h"

namespace duvo::test {
namespace {

class WindowsTest : public FormsTest {};

TEST_F(WindowsTest, OptionsDialogLayout) {
    TCheckForm& c = *Forms.CheckForm;
    EXPECT_EQ(c.CheckBox1->text(), QStringLiteral("&Graficznie"));
    EXPECT_EQ(c.CheckBox3->text(), QStringLiteral("&Procentowo"));
    EXPECT_EQ(c.CheckBox1->geometry(), QRect(271, 31, 90, 13));
    EXPECT_EQ(c.CheckBox3->geometry(), QRect(87, 31, 98, 13));
    EXPECT_EQ(c.OKButton->geometry(), QRect(108, 55, 93, 25));
    EXPECT_EQ(c.AnulujButton->geometry(), QRect(220, 55, 93, 26));
    EXPECT_EQ(c.Label1->pos(), QPoint(5, 7));
    EXPECT_EQ(c.Label1->text(),
              QStringLiteral("Zaznacz, w jaki sposób mam przedstawic wyniki porównywania obrazów ..."));
    EXPECT_EQ(c.AnulujButton->text(), QStringLiteral("Anuluj"));
}

// Each showing of the options dialog, from the Wyniki item, starts from the
// flags; only OK takes the boxes back into them.
TEST_F(WindowsTest, OptionsShowTheFlagsAndOnlyOkTakesTheBoxes) {
    TCheckForm& c = *Forms.CheckForm;
    const struct {
        const char* what;
        bool graphicOff, percentOff, percentOn;  // box changes before leaving
        QPushButton* leave;                      // nullptr: the close box
        bool shownGraphic, shownPercent, graficznie, procentowo;
    } steps[] = {
        {"Anuluj after a change", true, false, false, c.AnulujButton, true, true, true, true},
        {"closed", false, false, false, nullptr, true, true, true, true},
        {"OK with both off", true, true, false, c.OKButton, true, true, false, false},
        {"OK with one on", false, false, true, c.OKButton, false, false, false, true},
    };
    c.CheckBox1->setChecked(false);  // a box changed while hidden is shown from the flags all the same
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        bool graphic = false, percent = false;
        dialogs.onModal = [&](QDialog&) {
            graphic = c.CheckBox1->isChecked();
            percent = c.CheckBox3->isChecked();
            if (step.graphicOff) c.CheckBox1->setChecked(false);
            if (step.percentOff) c.CheckBox3->setChecked(false);
            if (step.percentOn) c.CheckBox3->setChecked(true);
            step.leave ? step.leave->click() : void(c.close());
        };
        Forms.MainForm->Wyniki->trigger();
        EXPECT_EQ(std::pair(graphic, percent), std::pair(step.shownGraphic, step.shownPercent));
        EXPECT_EQ(std::pair(c.Graficznie, c.Procentowo), std::pair(step.graficznie, step.procentowo));
        EXPECT_EQ(c.result(), step.leave == c.OKButton ? QDialog::Accepted : QDialog::Rejected);
    }
    EXPECT_EQ(dialogs.modals, std::vector<QString>(4, QStringLiteral("CheckForm")));
}

// Texts and check box indicators stay within the documented sizes with the
// fonts and style at hand.
TEST_F(WindowsTest, TextsAndIndicatorsFitTheirControls) {
    const TProgressForm& p = *Forms.ProgressForm;
    EXPECT_EQ(p.Label1->pos(), QPoint(26, 0));
    EXPECT_LE(p.Label1->x() + p.Label1->sizeHint().width(), p.width()) << "the full stop is cut";

    for (QCheckBox* box : {Forms.CheckForm->CheckBox1, Forms.CheckForm->CheckBox3}) {
        SCOPED_TRACE(box->objectName().toStdString());
        ASSERT_EQ(box->height(), 13);
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        EXPECT_TRUE(box->rect().contains(indicator)) << indicator.height() << " px high";
    }

    // The about memo's last line ends above its bottom border.
    TAboutForm& a = *Forms.AboutForm;
    a.Memo1->grab();  // lays the memo and its text out
    EXPECT_LT(a.Memo1->document()->size().height(), a.Memo1->viewport()->height());
}

// The side dialog and the progress window ask for a title bar without
// buttons, through the window flags and the Motif hints that window
// managers read the buttons from; the other windows keep theirs. Without a
// window manager to ask (the offscreen platform) Qt's window types stay.
TEST_F(WindowsTest, OnlyTheSideDialogAndTheProgressWindowAskForNoTitleBarButtons) {
    const struct {
        QWidget* window;
        bool noButtons;
    } rows[] = {
        {Forms.MainForm, false},    {Forms.PanelForm, true},  {Forms.WynikForm, false}, {Forms.ProgressForm, true},
        {Forms.ProcentForm, false}, {Forms.CheckForm, false}, {Forms.AboutForm, false}, {Forms.Form1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.window->objectName().toStdString());
        const std::optional<MotifHints> hints = RequestedMotifHints(row.window);
        EXPECT_EQ(hints.has_value(), row.noButtons);
        EXPECT_EQ(RequestedWindowTypes(row.window), QStringList());
        if (!row.noButtons) continue;
        EXPECT_EQ(*hints, NoButtonsHints());
        const Qt::WindowFlags flags = row.window->windowFlags();
        EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
        for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                      Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
            EXPECT_FALSE(flags.testFlag(button)) << button;
    }

    // A frame with its title that moves and resizes, and nothing else. The
    // "all" bit would turn either list into the ones taken away.
    const MotifHints h = NoButtonsHints();
    EXPECT_EQ(h.flags, mwm::kHintFunctions | mwm::kHintDecorations);
    EXPECT_EQ(h.functions, mwm::kFuncMove | mwm::kFuncResize);
    EXPECT_EQ(h.decorations, mwm::kDecorTitle | mwm::kDecorBorder | mwm::kDecorResizeHandle);
}

// A manager that still allows minimising or maximising a window with the
// Motif hints draws those buttons anyway; the window then asks to be a
// toolbar, which openbox draws without them, and names its own type after.
// The close action decides nothing: no type takes openbox's close button away.
TEST_F(WindowsTest, ToolbarTypeOnlyWhereTheManagerIgnoresTheMotifFunctions) {
    const QStringList openbox = {"CHANGE_DESKTOP", "SHADE",         "CLOSE",         "MOVE",  "MINIMIZE", "RESIZE",
                                 "FULLSCREEN",     "MAXIMIZE_HORZ", "MAXIMIZE_VERT", "ABOVE", "BELOW"};
    const struct {
        const char* manager;
        QStringList allowed;
        bool ignores;
    } managers[] = {
        {"openbox", openbox, true},
        {"minimise only", {"MOVE", "RESIZE", "MINIMIZE"}, true},
        {"one maximise direction", {"MOVE", "MAXIMIZE_VERT"}, true},
        {"honours the functions", {"MOVE", "RESIZE", "CLOSE", "SHADE"}, false},
        {"tells nothing", {}, false},
    };
    for (const auto& row : managers) {
        SCOPED_TRACE(row.manager);
        EXPECT_EQ(IgnoresMotifFunctions(row.allowed), row.ignores);
    }

    const struct {
        Qt::WindowType type;
        bool ignores;
        QStringList types;
    } types[] = {
        {Qt::Dialog, true, {"_NET_WM_WINDOW_TYPE_TOOLBAR", "_NET_WM_WINDOW_TYPE_DIALOG"}},
        {Qt::Window, true, {"_NET_WM_WINDOW_TYPE_TOOLBAR", "_NET_WM_WINDOW_TYPE_NORMAL"}},
        {Qt::Dialog, false, {}},
        {Qt::Window, false, {}},
    };
    for (const auto& row : types) {
        SCOPED_TRACE(::testing::Message() << row.type << (row.ignores ? " ignoring" : " honouring"));
        EXPECT_EQ(NoButtonsWindowTypes(row.type, row.ignores), row.types);
    }
}

// Whatever close button a manager still draws does nothing: a close from the
// window system leaves both windows shown, one from the program still works
// for the side dialog.
TEST_F(WindowsTest, CloseFromTheWindowSystemLeavesTheButtonlessWindowsShown) {
    const struct {
        QWidget* window;
        bool programCloses;
    } rows[] = {{Forms.PanelForm, true}, {Forms.ProgressForm, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.window->objectName().toStdString());
        row.window->show();
        QCloseEvent fromSystem;
        QSpontaneKeyEvent::setSpontaneous(&fromSystem);
        qApp->notify(row.window, &fromSystem);
        EXPECT_FALSE(fromSystem.isAccepted());
        EXPECT_TRUE(row.window->isVisible());
        EXPECT_EQ(row.window->close(), row.programCloses);
        EXPECT_EQ(row.window->isVisible(), !row.programCloses);
        row.window->hide();
    }
}

// The program's message boxes get the side dialog's title bar: the dialog
// type and the hints without buttons. The window types asked of the window
// manager depend on which one runs; the end-to-end test checks them under
// openbox.
TEST_F(WindowsTest, MessageBoxesAskForTheSideDialogsTitleBar) {
    for (const QMessageBox::StandardButtons buttons :
         {QMessageBox::StandardButtons(QMessageBox::Ok), QMessageBox::Yes | QMessageBox::No}) {
        SCOPED_TRACE(static_cast<int>(buttons));
        const auto box = MakeMessageBox(QStringLiteral("t"), QStringLiteral("c"), buttons, QMessageBox::Critical);
        EXPECT_EQ(box->windowType(), Qt::Dialog);
        EXPECT_EQ(RequestedMotifHints(box.get()), NoButtonsHints());
        for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                      Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
            EXPECT_FALSE(box->windowFlags().testFlag(button)) << button;
        EXPECT_EQ(box->text(), QStringLiteral("t"));
        EXPECT_EQ(box->windowTitle(), QStringLiteral("c"));
        EXPECT_EQ(box->standardButtons(), buttons);
    }
}

// A minimised modal window blocks every other window of the program, and
// nothing else shows why: a click on another window brings it back. The
// activation the window manager hands to another window as the modal one is
// minimised is not the user's and leaves it minimised.
TEST_F(WindowsTest, MinimisedModalWindowComesBackWhenAnotherWindowIsClicked) {
    Forms.ProcentForm->show();
    for (QDialog* modal : std::initializer_list<QDialog*>{Forms.AboutForm, Forms.CheckForm, Forms.PanelForm}) {
        SCOPED_TRACE(modal->objectName().toStdString());
        modal->show();
        ASSERT_EQ(QApplication::activeModalWidget(), modal);
        modal->setWindowState(Qt::WindowMinimized);
        ASSERT_TRUE(modal->isMinimized());

        QEvent handedOver(QEvent::WindowActivate);
        QApplication::sendEvent(Forms.MainForm, &handedOver);
        EXPECT_TRUE(modal->isMinimized());

        for (QWidget* clicked :
             {static_cast<QWidget*>(Forms.MainForm->ClientArea), static_cast<QWidget*>(Forms.ProcentForm)}) {
            SCOPED_TRACE(clicked->objectName().toStdString());
            modal->setWindowState(Qt::WindowMinimized);
            QMouseEvent press(QEvent::MouseButtonPress, QPointF(20, 20), clicked->mapToGlobal(QPointF(20, 20)),
                              Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(clicked, &press);
            EXPECT_FALSE(modal->isMinimized());
            EXPECT_TRUE(modal->isVisible());
        }
        modal->hide();
    }
    // Without a modal window a click changes nothing.
    EXPECT_FALSE(RestoreMinimisedModal());
}

TEST_F(WindowsTest, AboutBoxTextAndClosingGiveOk) {
    TAboutForm& a = *Forms.AboutForm;
    const QStringList lines = a.Memo1->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 9);
    EXPECT_EQ(lines[0], QStringLiteral("Program DUVO."));
    EXPECT_EQ(lines[1], QStringLiteral("Jest to porównywarka plików graficznych."));
    EXPECT_TRUE(lines[2].isEmpty());
    EXPECT_EQ(lines.mid(3).count(QString()), 1);
    EXPECT_TRUE(a.Memo1->toPlainText().contains(QStringLiteral("the DUVO team")));
    EXPECT_TRUE(a.Memo1->isReadOnly());
    EXPECT_EQ(a.Memo1->geometry(), QRect(0, 0, 365, 137));
    EXPECT_EQ(a.Button1->geometry(), QRect(368, 55, 57, 20));

    int result = -1;
    dialogs.onModal = [&](QDialog& d) {
        d.close();
        result = d.result();
    };
    Forms.MainForm->HelpAboutItem->trigger();
    EXPECT_EQ(result, QDialog::Accepted);
    dialogs.onModal = [](QDialog& d) { dynamic_cast<TAboutForm&>(d).Button1->click(); };
    Forms.MainForm->SpeedButton6->click();
    EXPECT_EQ(a.result(), QDialog::Accepted);
    EXPECT_EQ(dialogs.modals, (std::vector<QString>{QStringLiteral("AboutForm"), QStringLiteral("AboutForm")}));
}

TEST_F(WindowsTest, ScaleWindowShowsTheStoredStrip) {
    TForm1& f = *Forms.Form1;
    EXPECT_EQ(f.Image1->geometry(), QRect(8, 0, 145, 257));
    ASSERT_EQ(f.Image1->Picture().Width(), 150);
    ASSERT_EQ(f.Image1->Picture().Height(), 259);
    TCanvas& c = f.Image1->Surface();
    // Key colors of the strip, as 0x00BBGGRR.
    for (const auto& [y, color] : {std::pair<int, TColor>{7, 0x000000},
                                   {34, 0xFF0000},
                                   {63, 0x00FF00},
                                   {164, 0x0000FF},
                                   {222, 0x00FFFF},
                                   {255, 0xFFFFFF}})
        EXPECT_EQ(c.ReadPixel(60, y), color) << y;
    EXPECT_EQ(f.Label1->text(), QStringLiteral("Duża różnica"));
    EXPECT_EQ(f.Label2->text(), QStringLiteral("Mala różnica"));
    EXPECT_EQ(f.Label3->text(), QStringLiteral("<-------------------   50 %"));
    EXPECT_EQ(f.Label1->pos(), QPoint(160, 8));
    EXPECT_EQ(f.Label3->pos(), QPoint(160, 120));
    EXPECT_EQ(f.Label2->pos(), QPoint(160, 232));
    EXPECT_TRUE(f.Label1->font().bold());
    EXPECT_EQ(f.Label1->font().pixelSize(), 16);
}

TEST_F(WindowsTest, PercentagesWindowFieldsAndCaptions) {
    TProcentForm& p = *Forms.ProcentForm;
    const int tops[] = {5, 33, 60, 88, 115, 143, 170};
    const char* captions[] = {"Ten sam kolor",      "Różnice < 10%",      "Różnica 10 - 20  %", "Różnica 20 - 30  %",
                              "Różnica 30 - 40  %", "Różnica 40 - 50  %", "Różnica > 50 %"};
    const QLabel* labels[] = {p.Caption1, p.Label2, p.Label3, p.Label6, p.Label1, p.Label5, p.Label4};
    const auto fields = p.Fields();
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fields[i]->geometry(), QRect(5, tops[i], 124, 24));
        EXPECT_TRUE(fields[i]->isReadOnly());
        EXPECT_TRUE(fields[i]->text().isEmpty());
        EXPECT_EQ(fields[i]->palette().color(QPalette::Base), QColor(128, 128, 128));
        EXPECT_EQ(fields[i]->palette().color(QPalette::Text), QColor(Qt::white));
        EXPECT_TRUE(fields[i]->font().bold());
        EXPECT_EQ(labels[i]->text(), QString::fromUtf8(captions[i]));
        EXPECT_EQ(labels[i]->pos(), QPoint(136, tops[i]));
        EXPECT_EQ(labels[i]->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    }
    EXPECT_EQ(p.palette().color(QPalette::Window), QColor(Qt::white));
}

TEST_F(WindowsTest, ProgressWindowMakesItsBarOnShowingAndDropsItOnHiding) {
    TProgressForm& p = *Forms.ProgressForm;
    EXPECT_EQ(p.ProgressBar, nullptr);
    EXPECT_EQ(p.Label1->text(), QStringLiteral("Prosze czekac , bedzie rozmowa."));
    EXPECT_EQ(p.Label1->pos(), QPoint(26, 0));
    EXPECT_FALSE(p.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(p.windowFlags() & Qt::WindowSystemMenuHint);
    p.show();
    ASSERT_NE(p.ProgressBar, nullptr);
    EXPECT_EQ(p.ProgressBar->value(), 0);
    EXPECT_EQ(p.ProgressBar->geometry().bottom(), p.height() - 1);
    EXPECT_EQ(p.ProgressBar->width(), p.width());
    EXPECT_EQ(p.cursor().shape(), Qt::WaitCursor);
    p.StepIt();
    p.StepIt();
    EXPECT_EQ(p.ProgressBar->value(), 2);
    // The user cannot close it.
    EXPECT_FALSE(p.close());
    EXPECT_TRUE(p.isVisible());
    p.hide();
    EXPECT_EQ(p.ProgressBar, nullptr);
    EXPECT_EQ(p.cursor().shape(), Qt::ArrowCursor);
    p.show();
    ASSERT_NE(p.ProgressBar, nullptr);
    EXPECT_EQ(p.ProgressBar->value(), 0);
    p.hide();
}

struct ErrorRow {
    const char* what;
    std::function<void()> raise;
    const char* shown;  // nullptr: nothing shown
};

TEST_F(WindowsTest, DefaultErrorDisplayShowsMessagesAndDropsAbort) {
    const ErrorRow rows[] = {
        {"abort", [] { throw EAbort("Operation aborted"); }, nullptr},
        {"gif text", [] { throw EInvalidGraphic("Invalid GIF signature"); }, "Invalid GIF signature."},
        {"ends in !", [] { throw Exception("Gotowe!"); }, "Gotowe!"},
        {"ends in )", [] { throw Exception("Cannot assign a nil to a TBitmap (x)"); },
         "Cannot assign a nil to a TBitmap (x)"},
        {"empty", [] { throw Exception(""); }, ""},
        {"std", [] { throw std::runtime_error("plain failure"); }, "plain failure."},
        {"out of memory", [] { throw std::bad_alloc(); }, "Out of memory."},
    };
    for (const ErrorRow& row : rows) {
        SCOPED_TRACE(row.what);
        dialogs.boxes.clear();
        RunCommand(row.raise);
        if (!row.shown) {
            EXPECT_TRUE(dialogs.boxes.empty());
            continue;
        }
        ASSERT_EQ(dialogs.boxes.size(), 1u);
        // The caption is the program file's name cut at its first dot.
        ExpectBox(dialogs.boxes[0], QString::fromUtf8(row.shown), QStringLiteral("duvo_gui_tests"), QMessageBox::Ok,
                  QMessageBox::Critical);
    }
}

}  // namespace
}  // namespace duvo::test
