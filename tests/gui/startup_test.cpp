// The window set at start: which windows exist, where they stand, what the
// main window carries.
#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include "app/About.h"
#include "app/Forms.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "gui_fixture.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "widgets/ImageControl.h"

namespace duvo::test {
namespace {

class StartupTest : public FormsTest {};

TEST_F(StartupTest, EveryWindowHasItsCaptionPlaceAndSizeAndOnlyTheMainWindowIsShown) {
    const struct {
        QWidget* window;
        const char* name;
        const char* caption;
        int left, top, width, height;
    } rows[] = {
        {Forms.MainForm, "MainForm", "DUVO", 50, 50, 528, 464},
        {Forms.PanelForm, "PanelForm", "Gdzie wyswietlic rysunek?", 300, 251, 281, 169},
        {Forms.WynikForm, "WynikForm", "Wynik graficzny:", 297, 219, 348, 309},
        {Forms.ProgressForm, "ProgressForm", "Prosze czekac, bedzie wynik...", 287, 278, 247, 95},
        {Forms.ProcentForm, "ProcentForm", "Procenty", 270, 297, 273, 224},
        {Forms.CheckForm, "CheckForm", "Wyniki", 282, 256, 456, 115},
        {Forms.AboutForm, "AboutForm", "O programie ...", 295, 165, 435, 170},
        {Forms.Form1, "Form1", "Skala porównawcza", 591, 178, 273, 289},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* w = row.window;
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->isWindow());
        EXPECT_EQ(w->objectName(), QString::fromLatin1(row.name));
        EXPECT_EQ(w->windowTitle(), QString::fromUtf8(row.caption));
        EXPECT_EQ(w->frameGeometry().topLeft(), QPoint(row.left, row.top));
        EXPECT_EQ(w->frameGeometry().size(), QSize(row.width, row.height));
        EXPECT_EQ(w->isVisible(), w == Forms.MainForm);
    }
}

TEST_F(StartupTest, BothPresentationFlagsAreOnAndTheLayoutIsEmpty) {
    EXPECT_TRUE(Forms.CheckForm->Graficznie);
    EXPECT_TRUE(Forms.CheckForm->Procentowo);
    TMainForm& m = *Forms.MainForm;
    EXPECT_EQ(m.Panel->geometry(), QRect(0, 32, 300, 20));
    EXPECT_EQ(m.Panel2->geometry(), QRect(301, 32, 300, 20));
    EXPECT_EQ(m.Panel->text(), QStringLiteral("Strona Lewa"));
    EXPECT_EQ(m.Panel2->text(), QStringLiteral("Strona Prawa"));
    // Without pictures only the heights change; widths and lefts stay as
    // designed.
    EXPECT_EQ(m.Image1->geometry(), QRect(2, 51, 199, 300));
    EXPECT_EQ(m.Image2->geometry(), QRect(206, 51, 200, 300));
    for (QLabel* label : {m.Label1, m.Label2}) {
        EXPECT_EQ(label->pos(), QPoint(0, 300));
        EXPECT_TRUE(label->text().isEmpty());
    }
    EXPECT_TRUE(m.ImageTemp->isHidden());
    EXPECT_EQ(m.ImageTemp->geometry(), QRect(13, 64, 173, 65));
    EXPECT_EQ(QSize(m.Image1->Width(), m.Image1->Height()), QSize(199, 300));
    EXPECT_EQ(m.SpeedBar->geometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(m.SpeedBar->height(), 32);
    EXPECT_EQ(m.StatusLine->height(), 23);
    EXPECT_FALSE(m.windowIcon().isNull());
}

TEST_F(StartupTest, ResizingTheMainWindowLeavesThePanesWhereTheLayoutPutThem) {
    TMainForm& m = *Forms.MainForm;
    m.resize(900, 700);
    QApplication::processEvents();
    EXPECT_EQ(m.Panel2->geometry(), QRect(301, 32, 300, 20));
    EXPECT_EQ(m.Image1->geometry(), QRect(2, 51, 199, 300));
    // The tool bar spans the client width.
    EXPECT_EQ(m.SpeedBar->width(), m.ClientScroll->viewport()->width());
}

struct MenuRow {
    const char* menu;
    const char* item;
    const char* caption;
    QKeySequence shortcut;
    const char* hint;
};

TEST_F(StartupTest, MenuItemsHaveTheirCaptionsShortcutsAndHints) {
    const MenuRow rows[] = {
        {"&Plik", "FileOpenItem", "&Otwórz...", QKeySequence(Qt::CTRL | Qt::Key_O), "Open an existing file"},
        {"&Plik", "FileExitItem", "&Koniec", QKeySequence(Qt::CTRL | Qt::Key_X), "Exit this application"},
        {"P&orównaj", "Porownaj", "&Porównaj", QKeySequence(), ""},
        {"P&orównaj", "Wyniki", "P&okaz wyniki w sposób ...", QKeySequence(), ""},
        {"&Pomoc", "HelpAboutItem", "&O programie...", QKeySequence(), "Show program information"},
    };
    TMainForm& m = *Forms.MainForm;
    QStringList menus;
    for (QAction* a : m.MainMenu->actions()) menus << a->text();
    EXPECT_EQ(menus, (QStringList{QStringLiteral("&Plik"), QStringLiteral("P&orównaj"), QStringLiteral("&Pomoc")}));
    for (const MenuRow& row : rows) {
        SCOPED_TRACE(row.item);
        auto* action = m.findChild<QAction*>(QString::fromLatin1(row.item));
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), QString::fromUtf8(row.caption));
        EXPECT_EQ(action->shortcut(), row.shortcut);
        EXPECT_EQ(action->statusTip(), QString::fromUtf8(row.hint));
        bool inMenu = false;
        for (QAction* top : m.MainMenu->actions())
            if (top->text() == QString::fromUtf8(row.menu) && top->menu()->actions().contains(action)) inMenu = true;
        EXPECT_TRUE(inMenu);
    }
    const auto fileItems = m.FileMenu->actions();
    ASSERT_EQ(fileItems.size(), 3);
    EXPECT_TRUE(fileItems[1]->isSeparator());
}

struct ButtonRow {
    const char* name;
    int left, width;
    const char* hint;
    int glyphSize;
};

TEST_F(StartupTest, ToolButtonsAreRaisedGlyphButtonsWithHints) {
    const ButtonRow rows[] = {
        {"SpeedButton1", 8, 25, "Otwórz", 20},
        {"SpeedButton2", 48, 23, "Porównaj", 16},
        {"SpeedButton6", 86, 24, "O programie...", 20},
        {"SpeedButton5", 130, 25, "Koniec", 16},
    };
    TMainForm& m = *Forms.MainForm;
    for (const ButtonRow& row : rows) {
        SCOPED_TRACE(row.name);
        auto* b = m.SpeedBar->findChild<QToolButton*>(QString::fromLatin1(row.name));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->geometry(), QRect(row.left, 4, row.width, 25));
        EXPECT_FALSE(b->autoRaise());
        EXPECT_TRUE(b->text().isEmpty() || b->toolButtonStyle() == Qt::ToolButtonIconOnly);
        EXPECT_EQ(b->toolTip(), QString::fromUtf8(row.hint));
        EXPECT_EQ(b->statusTip(), b->toolTip());
        EXPECT_EQ(b->iconSize(), QSize(row.glyphSize, row.glyphSize));
        const QImage normal = b->icon().pixmap(b->iconSize(), QIcon::Normal).toImage();
        const QImage disabled = b->icon().pixmap(b->iconSize(), QIcon::Disabled).toImage();
        ASSERT_FALSE(normal.isNull());
        // The bottom-left color is see-through, and something is drawn.
        EXPECT_EQ(qAlpha(normal.pixel(0, normal.height() - 1)), 0);
        int opaque = 0;
        for (int y = 0; y < normal.height(); ++y)
            for (int x = 0; x < normal.width(); ++x) opaque += qAlpha(normal.pixel(x, y)) == 255;
        EXPECT_GT(opaque, 10);
        EXPECT_NE(normal, disabled);
    }
}

TEST_F(StartupTest, StatusLineShowsTheHintOfTheHighlightedItemAndClearsForItemsWithout) {
    TMainForm& m = *Forms.MainForm;
    // Menus opened from the menu bar, as the user opens them.
    m.MainMenu->setActiveAction(m.FileMenu->menuAction());
    ASSERT_TRUE(m.FileMenu->isVisible());
    m.FileMenu->setActiveAction(m.FileOpenItem);
    EXPECT_EQ(m.StatusLine->currentMessage(), QStringLiteral("Open an existing file"));
    m.FileMenu->setActiveAction(m.FileExitItem);
    EXPECT_EQ(m.StatusLine->currentMessage(), QStringLiteral("Exit this application"));
    m.FileMenu->hide();

    m.MainMenu->setActiveAction(m.PorownajMenu->menuAction());
    ASSERT_TRUE(m.PorownajMenu->isVisible());
    m.StatusLine->showMessage(QStringLiteral("x"));
    m.PorownajMenu->setActiveAction(m.Porownaj);
    EXPECT_EQ(m.StatusLine->currentMessage(), QString());
    m.PorownajMenu->hide();

    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(m.SpeedButton2, &enter);
    EXPECT_EQ(m.StatusLine->currentMessage(), QStringLiteral("Porównaj"));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(m.SpeedButton2, &leave);
    EXPECT_EQ(m.StatusLine->currentMessage(), QString());
}

TEST_F(StartupTest, ClosingTheMainWindowEndsTheProgramWhileOtherWindowsAreOpen) {
    ASSERT_FALSE(QGuiApplication::quitOnLastWindowClosed());
    bool timedOut = false;
    QTimer::singleShot(0, [] {
        Forms.ProcentForm->show();
        Forms.Form1->show();
        Forms.MainForm->FileExitItem->trigger();
    });
    QTimer::singleShot(5000, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(Forms.MainForm->isVisible());
}

TEST_F(StartupTest, ClosingAnotherWindowOnlyHidesIt) {
    Forms.Form1->show();
    EXPECT_TRUE(Forms.Form1->close());
    EXPECT_FALSE(Forms.Form1->isVisible());
    EXPECT_TRUE(Forms.MainForm->isVisible());
    Forms.Form1->show();
    EXPECT_TRUE(Forms.Form1->isVisible());
}

}  // namespace
}  // namespace duvo::test
