// The compare command: its checks and boxes, the progress window, the result
// windows chosen by the flags, and the figures in the percentages window.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "app/Forms.h"
#include "app/Main.h"
#include "gui_fixture.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "widgets/FormSupport.h"
#include "widgets/ImageControl.h"

namespace duvo::test {
namespace {

// Watches the progress window: how often it was shown, and the bar's value
// just before each hiding destroys the bar.
class ProgressWatch : public QObject {
public:
    explicit ProgressWatch(TProgressForm* form) : form_(form) { form->installEventFilter(this); }
    ~ProgressWatch() override { form_->removeEventFilter(this); }
    int shown = 0;
    std::vector<int> finalValues;
    bool barWhileShown = false;
    bool waitCursorWhileShown = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) ++shown;
        if (event->type() == QEvent::Hide && form_->ProgressBar) {
            finalValues.push_back(form_->ProgressBar->value());
            barWhileShown = form_->ProgressBar->parent() == form_ && form_->ProgressBar->maximum() == 100 &&
                            form_->ProgressBar->minimum() == 0;
            waitCursorWhileShown = form_->cursor().shape() == Qt::WaitCursor;
        }
        return false;
    }

private:
    TProgressForm* form_;
};

TColor Black(int, int) { return 0; }
TColor White(int, int) { return 0xFFFFFF; }
TColor Gradient(int x, int y) { return (x * 0x010203 + y * 0x030201) & 0xFFFFFF; }

class CompareTest : public FormsTest {
protected:
    void Place(TImageControl* pane, int width, int height, const std::function<TColor(int, int)>& fill) {
        TBitmap b;
        MakeBitmap(b, width, height, fill);
        pane->Picture().SetGraphic(&b);
    }
    void PlaceBoth(int width, int height, const std::function<TColor(int, int)>& left,
                   const std::function<TColor(int, int)>& right) {
        Place(Forms.MainForm->Image1, width, height, left);
        Place(Forms.MainForm->Image2, width, height, right);
    }
    void PlaceUnequal() {
        Place(Forms.MainForm->Image1, 100, 50, Black);
        Place(Forms.MainForm->Image2, 80, 60, White);
    }
    void Compare() { Forms.MainForm->Porownaj->trigger(); }
    // The seven percentage fields, top to bottom.
    QStringList Texts() const {
        QStringList out;
        for (QLineEdit* e : Forms.ProcentForm->Fields()) out << e->text();
        return out;
    }
};

TEST_F(CompareTest, EmptyPaneGivesTheBoxAndNoProgressWindow) {
    ProgressWatch watch(Forms.ProgressForm);
    Place(Forms.MainForm->Image1, 4, 4, Black);
    Compare();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    ExpectBox(dialogs.boxes[0], QStringLiteral("Nie ma obrazów w obu panelach !!!"), QStringLiteral("Bląd !"));
    EXPECT_EQ(watch.shown, 0);
    EXPECT_FALSE(Forms.WynikForm->isVisible());
    EXPECT_FALSE(Forms.ProcentForm->isVisible());
}

TEST_F(CompareTest, DifferentSizesAskNoChangesNothingYesComparesTheCommonArea) {
    ProgressWatch watch(Forms.ProgressForm);
    PlaceUnequal();
    dialogs.boxAnswers = {QMessageBox::No, QMessageBox::Yes};
    Compare();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    ExpectBox(dialogs.boxes[0], QStringLiteral("Obrazy mają różne wielkosci! Porównywac?"),
              QStringLiteral("Ostrzeżenie !"), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(watch.shown, 0);
    EXPECT_TRUE(Forms.WynikForm->WynikImage->Picture().Empty());
    EXPECT_FALSE(Forms.WynikForm->isVisible());

    Compare();
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    const TPicture& diff = Forms.WynikForm->WynikImage->Picture();
    EXPECT_EQ(QSize(diff.Width(), diff.Height()), QSize(80, 50));
    EXPECT_TRUE(Forms.WynikForm->isVisible());
    // Black against white everywhere: all in the last band, a black picture.
    EXPECT_EQ(Texts(), (QStringList{"0 %", "0 %", "0 %", "0 %", "0 %", "0 %", "100 %"}));
    EXPECT_EQ(Forms.WynikForm->WynikImage->Surface().ReadPixel(79, 49), 0);
}

TEST_F(CompareTest, IdenticalPicturesGiveAWhitePictureAndAHundredPercentSameColor) {
    PlaceBoth(320, 200, Gradient, Gradient);
    ProgressWatch watch(Forms.ProgressForm);
    Compare();
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(watch.shown, 1);
    EXPECT_FALSE(Forms.ProgressForm->isVisible());
    EXPECT_EQ(Forms.ProgressForm->ProgressBar, nullptr);
    EXPECT_EQ(Texts(), (QStringList{"100 %", "0 %", "0 %", "0 %", "0 %", "0 %", "0 %"}));
    EXPECT_EQ(Forms.MainForm->Histogram[100], 100.0L);
    TCanvas& diff = Forms.WynikForm->WynikImage->Surface();
    EXPECT_EQ(diff.ReadPixel(0, 0), 0xFFFFFF);
    EXPECT_EQ(diff.ReadPixel(319, 199), 0xFFFFFF);
    // The result window at 400, 20 with a client two pixels larger than the
    // picture, the picture at its top-left corner; then the scale window.
    TWynikForm& w = *Forms.WynikForm;
    EXPECT_EQ(w.pos(), QPoint(400, 20));
    EXPECT_EQ(w.size(), QSize(322, 202));
    EXPECT_EQ(w.WynikImage->geometry(), QRect(0, 0, 320, 200));
    EXPECT_TRUE(Forms.Form1->isVisible());
    EXPECT_TRUE(Forms.ProcentForm->isVisible());
}

TEST_F(CompareTest, PackedColorDifferenceAndBinsFollowTheWholeInteger) {
    // Left red 0x0000FF, blue 0xFF0000, 0x000100; right black, black, 0x0000FF.
    auto left = [](int x, int) -> TColor { return x == 0 ? 0x0000FF : x == 1 ? 0xFF0000 : 0x000100; };
    auto right = [](int x, int) -> TColor { return x == 2 ? 0x0000FF : 0; };
    PlaceBoth(3, 1, left, right);
    SetDecimalSymbol(QStringLiteral(","));
    Compare();
    TCanvas& diff = Forms.WynikForm->WynikImage->Surface();
    EXPECT_EQ(std::vector<TColor>({diff.ReadPixel(0, 0), diff.ReadPixel(1, 0), diff.ReadPixel(2, 0)}),
              (std::vector<TColor>{0xFFFF00, 0x00FFFF, 0xFFFFFE}));
    // Two of three pixels in bin 99, one in bin 0.
    EXPECT_EQ(Texts(), (QStringList{"0 %", "66,6666666666667 %", "0 %", "0 %", "0 %", "0 %", "33,3333333333333 %"}));
}

TEST_F(CompareTest, DecimalSymbolFullStop) {
    // One pixel of eight differs slightly: 12.5 percent.
    auto right = [](int x, int) -> TColor { return x == 0 ? 1 : 0; };
    PlaceBoth(8, 1, Black, right);
    SetDecimalSymbol(QStringLiteral("."));
    Compare();
    EXPECT_EQ(Texts(), (QStringList{"87.5 %", "12.5 %", "0 %", "0 %", "0 %", "0 %", "0 %"}));
}

// A figure longer than its field shows from its first character, as a field
// does when its text is set, not scrolled to its end.
TEST_F(CompareTest, LongFiguresShowTheirFirstCharacter) {
    // One pixel of 76800 differs completely.
    auto right = [](int x, int y) -> TColor { return x == 0 && y == 0 ? 0xFFFFFF : 0; };
    PlaceBoth(320, 240, Black, right);
    Compare();
    ASSERT_EQ(Texts()[6], QStringLiteral("0.00130208333333333 %"));
    for (QLineEdit* field : Forms.ProcentForm->Fields()) {
        SCOPED_TRACE(field->objectName().toStdString());
        field->grab();  // painting settles the field's scroll offset
        EXPECT_EQ(field->cursorPosition(), 0);
        EXPECT_LT(field->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), 8);
    }
}

// A figure of 20 characters or more does not fit its field: the field keeps
// its size and text, shows the whole text as its tooltip, and scrolls to the
// end when it gets the focus, however it gets it.
TEST_F(CompareTest, LongFiguresShowTheirEndWhenTheFieldGetsTheFocus) {
    // One pixel of 300000 differs completely.
    auto right = [](int x, int y) -> TColor { return x == 0 && y == 0 ? 0xFFFFFF : 0; };
    PlaceBoth(600, 500, Black, right);
    Compare();
    TProcentForm& p = *Forms.ProcentForm;
    p.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&p));
    const QString figure = QStringLiteral("0.000333333333333333 %");
    ASSERT_EQ(p.Edit7->text(), figure);
    for (QLineEdit* field : p.Fields()) {
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_EQ(field->toolTip(), field->text());
        EXPECT_EQ(field->size(), QSize(124, 24));
    }
    // Where the field's cursor stands, once painting has settled the scroll.
    auto cursorAt = [](QLineEdit* field) {
        field->grab();
        return field->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    };
    ASSERT_GT(p.Edit7->fontMetrics().horizontalAdvance(figure), p.Edit7->contentsRect().width())
        << "the figure fits: nothing to scroll";

    const struct {
        const char* how;
        std::function<void(QLineEdit*)> focus;
    } ways[] = {
        {"activation", [](QLineEdit* f) { f->setFocus(Qt::ActiveWindowFocusReason); }},
        {"other", [](QLineEdit* f) { f->setFocus(Qt::OtherFocusReason); }},
        {"tab", [](QLineEdit* f) { f->setFocus(Qt::TabFocusReason); }},
        {"click", [](QLineEdit* f) { QTest::mouseClick(f, Qt::LeftButton, {}, QPoint(10, 12)); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        p.Edit1->setFocus(Qt::OtherFocusReason);
        p.Edit7->setCursorPosition(0);
        ASSERT_LT(cursorAt(p.Edit7).left(), 8);
        way.focus(p.Edit7);
        ASSERT_TRUE(p.Edit7->hasFocus());
        EXPECT_EQ(p.Edit7->cursorPosition(), figure.size());
        const QRect end = cursorAt(p.Edit7);
        EXPECT_GT(end.left(), p.Edit7->width() / 2);
        EXPECT_LE(end.right(), p.Edit7->width());
        EXPECT_EQ(p.Edit7->text(), figure);
    }

    // Home and End move through the figure, which stays as it is.
    p.Edit7->deselect();
    QTest::keyClick(p.Edit7, Qt::Key_Home);
    EXPECT_EQ(p.Edit7->cursorPosition(), 0);
    EXPECT_LT(cursorAt(p.Edit7).left(), 8);
    QTest::keyClick(p.Edit7, Qt::Key_End);
    EXPECT_EQ(p.Edit7->cursorPosition(), figure.size());
    EXPECT_EQ(p.Edit7->text(), figure);

    // A click that drags a selection keeps it.
    p.Edit1->setFocus(Qt::OtherFocusReason);
    p.Edit7->setCursorPosition(0);
    cursorAt(p.Edit7);
    QTest::mousePress(p.Edit7, Qt::LeftButton, {}, QPoint(5, 12));
    QMouseEvent drag(QEvent::MouseMove, QPointF(60, 12), p.Edit7->mapToGlobal(QPointF(60, 12)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(p.Edit7, &drag);
    QTest::mouseRelease(p.Edit7, Qt::LeftButton, {}, QPoint(60, 12));
    EXPECT_TRUE(p.Edit7->hasSelectedText());
    EXPECT_LT(p.Edit7->cursorPosition(), figure.size());
}

// The graphic result window of a tiny picture keeps the client size of the
// picture plus two only down to the size its frame needs for its caption and
// buttons; the picture stays at the top-left and the rest is the window's
// background, also when the user makes the window smaller.
TEST_F(CompareTest, ResultWindowOfATinyPictureIsNeverSmallerThanItsCaptionNeeds) {
    TWynikForm& w = *Forms.WynikForm;
    const QMargins frame = FrameMargins(&w);
    const QSize smallestClient = TWynikForm::kMinimumOuter.shrunkBy(frame);
    ASSERT_GE(TWynikForm::kMinimumOuter.width(), 160);
    ASSERT_GE(TWynikForm::kMinimumOuter.height(), 60);
    const struct {
        int width, height;
        QSize client;
    } rows[] = {
        {3, 1, smallestClient},
        {1, 100, QSize(smallestClient.width(), 102)},
        {300, 2, QSize(302, smallestClient.height())},
        {320, 200, QSize(322, 202)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.width << " x " << row.height);
        w.close();
        PlaceBoth(row.width, row.height, Gradient, Black);
        Compare();
        EXPECT_EQ(w.size(), row.client);
        EXPECT_EQ(w.frameGeometry().topLeft(), QPoint(400, 20));
        EXPECT_GE(w.frameGeometry().width(), 160);
        EXPECT_GE(w.frameGeometry().height(), 60);
        EXPECT_EQ(w.WynikImage->geometry(), QRect(0, 0, row.width, row.height));
        // Made smaller by hand, it stops at the same size.
        w.resize(10, 10);
        EXPECT_EQ(w.size(), smallestClient.expandedTo(QSize(10, 10)));
    }

    // 3 x 1: the difference pixels at the top-left, the window's face around.
    w.close();
    auto left = [](int x, int) -> TColor { return x == 0 ? 0x0000FF : x == 1 ? 0xFF0000 : 0x000100; };
    auto right = [](int x, int) -> TColor { return x == 2 ? 0x0000FF : 0; };
    PlaceBoth(3, 1, left, right);
    Compare();
    const QImage shown = w.grab().toImage();
    ASSERT_EQ(shown.size(), smallestClient);
    EXPECT_EQ(shown.pixelColor(0, 0), QColor(0x00, 0xFF, 0xFF));  // 0xFFFF00 as 0x00BBGGRR
    EXPECT_EQ(shown.pixelColor(1, 0), QColor(0xFF, 0xFF, 0x00));
    EXPECT_EQ(shown.pixelColor(2, 0), QColor(0xFE, 0xFF, 0xFF));
    const QColor face = w.palette().color(QPalette::Window);
    for (const QPoint at : {QPoint(3, 0), QPoint(0, 1), QPoint(80, 30), QPoint(shown.width() - 1, shown.height() - 1)})
        EXPECT_EQ(shown.pixelColor(at), face) << at.x() << ", " << at.y();
}

// Height, steps (-1: as many as the whole row percentage changes).
using StepRow = std::pair<int, int>;

// The row percentage Trunc((y / h) * 100) in extended precision, counted where
// it changes; with h = 100 some quotients fall just below a whole number.
int PercentChanges(int h) {
    int mark = 0, changes = 0;
    for (int y = 0; y < h; ++y) {
        const int p = static_cast<int>((static_cast<long double>(y) / h) * 100.0L);
        if (p != mark) {
            mark = p;
            ++changes;
        }
    }
    return changes;
}

class ProgressStepTest : public CompareTest, public ::testing::WithParamInterface<StepRow> {};

TEST_P(ProgressStepTest, BarAdvancesOncePerWholePercentOfFinishedRows) {
    const auto [height, given] = GetParam();
    PlaceBoth(3, height, Gradient, Black);
    ProgressWatch watch(Forms.ProgressForm);
    Compare();
    Compare();
    const int steps = given >= 0 ? given : PercentChanges(height);
    EXPECT_LE(steps, 99);
    // The second comparison starts again from an empty bar.
    EXPECT_EQ(watch.finalValues, (std::vector<int>{steps, steps}));
    EXPECT_TRUE(watch.barWhileShown);
    EXPECT_TRUE(watch.waitCursorWhileShown);
    EXPECT_EQ(Forms.ProgressForm->cursor().shape(), Qt::ArrowCursor);
}

INSTANTIATE_TEST_SUITE_P(Heights, ProgressStepTest,
                         ::testing::Values(StepRow{1, 0}, StepRow{2, 1}, StepRow{10, 9}, StepRow{50, 49},
                                           StepRow{100, -1}, StepRow{250, -1}, StepRow{1000, 99}));

// Graficznie, Procentowo.
class FlagTest : public CompareTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(FlagTest, ResultWindowsFollowTheFlags) {
    const auto [graficznie, procentowo] = GetParam();
    Forms.CheckForm->Graficznie = graficznie;
    Forms.CheckForm->Procentowo = procentowo;
    PlaceBoth(4, 4, Gradient, Black);
    ProgressWatch watch(Forms.ProgressForm);
    Compare();
    EXPECT_EQ(watch.shown, 1);
    EXPECT_EQ(Forms.WynikForm->isVisible(), graficznie);
    EXPECT_EQ(Forms.Form1->isVisible(), graficznie);
    EXPECT_EQ(Forms.ProcentForm->isVisible(), procentowo);
    EXPECT_EQ(Forms.ProcentForm->Edit1->text().isEmpty(), !procentowo);
    // The difference picture is replaced whatever the flags.
    EXPECT_EQ(Forms.WynikForm->WynikImage->Picture().Width(), 4);
}

INSTANTIATE_TEST_SUITE_P(Flags, FlagTest, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(CompareTest, ToolButtonComparesAndPercentagesKeepTheirFiguresWhenProcentowoIsOff) {
    PlaceBoth(2, 2, Gradient, Gradient);
    Forms.MainForm->SpeedButton2->click();
    EXPECT_TRUE(Forms.WynikForm->isVisible());
    ASSERT_EQ(Forms.ProcentForm->Edit1->text(), QStringLiteral("100 %"));
    Forms.CheckForm->Procentowo = false;
    PlaceBoth(2, 2, Black, White);
    Compare();
    EXPECT_EQ(Forms.ProcentForm->Edit1->text(), QStringLiteral("100 %"));
    EXPECT_EQ(Forms.ProcentForm->Edit7->text(), QStringLiteral("0 %"));
    EXPECT_EQ(Forms.MainForm->Histogram[0], 100.0L);
}

TEST_F(CompareTest, OpenResultWindowKeepsItsPlaceAndScrollsAReopenedOneReturnsTo400_20) {
    TWynikForm& w = *Forms.WynikForm;
    PlaceBoth(320, 200, Gradient, Black);
    Compare();
    ASSERT_TRUE(w.isVisible());
    // Still open: the next comparison keeps position and size, and a larger
    // picture scrolls.
    w.move(10, 10);
    w.resize(200, 150);
    Forms.Form1->move(600, 400);
    PlaceBoth(300, 250, Gradient, Black);
    Compare();
    EXPECT_EQ(w.pos(), QPoint(10, 10));
    EXPECT_EQ(w.size(), QSize(200, 150));
    EXPECT_EQ(w.WynikImage->size(), QSize(300, 250));
    EXPECT_GT(w.ClientArea->horizontalScrollBar()->maximum(), 0);
    EXPECT_GT(w.ClientArea->verticalScrollBar()->maximum(), 0);
    // Closed and compared again: back at 400, 20, sized to the picture.
    w.close();
    Forms.Form1->close();
    EXPECT_FALSE(w.isVisible());
    PlaceBoth(200, 80, Gradient, Black);
    Compare();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.pos(), QPoint(400, 20));
    EXPECT_EQ(w.size(), QSize(202, 82));
    // The scale window keeps the place the user gave it.
    EXPECT_TRUE(Forms.Form1->isVisible());
    EXPECT_EQ(Forms.Form1->pos(), QPoint(600, 400));

    // 100 x 80: a client of 102 x 82, but not narrower than the frame's
    // caption and buttons need: 160 outer, here 156 inside Qt's own frame of
    // 2 pixels a side.
    w.close();
    PlaceBoth(100, 80, Gradient, Black);
    Compare();
    EXPECT_EQ(w.pos(), QPoint(400, 20));
    ASSERT_EQ(FrameMargins(&w), QMargins(2, 2, 2, 2));
    EXPECT_EQ(w.size(), QSize(156, 82));
    EXPECT_EQ(w.frameGeometry().size(), QSize(160, 86));
    EXPECT_EQ(w.WynikImage->geometry(), QRect(0, 0, 100, 80));
}

// A window the window system never shows on the screen (here the progress
// window kept off it) does not hold the comparison up: the loop waits for it
// no longer than the limit, and then runs all its steps.
TEST_F(CompareTest, ProgressWindowNeverShownOnTheScreenHoldsTheLoopUpOnlyForTheLimit) {
    TProgressForm& p = *Forms.ProgressForm;
    p.setAttribute(Qt::WA_DontShowOnScreen);
    PlaceBoth(3, 10, Gradient, Black);
    ProgressWatch watch(&p);
    // Should the wait not end by itself, the window is hidden after a while,
    // which ends it, and the checks below fail rather than the test hanging.
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, &p, [&p] { p.hide(); });
    rescue.start(TProgressForm::kExposeWaitMs + 5000);
    QElapsedTimer took;
    took.start();
    Compare();
    const qint64 ms = took.elapsed();
    p.setAttribute(Qt::WA_DontShowOnScreen, false);
    EXPECT_EQ(watch.shown, 1);
    EXPECT_EQ(watch.finalValues, std::vector<int>{9});
    EXPECT_TRUE(Forms.WynikForm->isVisible());
    // It did wait, and not much longer than the limit.
    EXPECT_GE(ms, TProgressForm::kExposeWaitMs);
    EXPECT_LT(ms, TProgressForm::kExposeWaitMs + 4000);
}

// Its frame stands at 400, 20 and ends at the screen's edge where the
// picture would reach beyond it, so the close box and scroll bars stay there.
TEST_F(CompareTest, ResultWindowLargerThanTheScreenEndsAtTheScreensEdgeAndScrolls) {
    const QRect screen = Forms.WynikForm->screen()->availableGeometry();
    TWynikForm& w = *Forms.WynikForm;
    const struct {
        const char* what;
        int width, height;
        bool wide, tall;  // held at the right, at the bottom edge
    } rows[] = {
        {"wider", screen.width() + 50, 100, true, false},
        {"taller", 300, screen.height() + 50, false, true},
        {"both", screen.width(), screen.height(), true, true},
        {"just fits", screen.right() - 420, 100, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        w.close();
        PlaceBoth(row.width, row.height, Gradient, Black);
        Compare();
        const QRect frame = w.frameGeometry();
        EXPECT_EQ(frame.topLeft(), QPoint(400, 20));
        EXPECT_TRUE(screen.contains(frame));
        if (row.wide) {
            EXPECT_EQ(frame.right(), screen.right());
            EXPECT_GT(w.ClientArea->horizontalScrollBar()->maximum(), 0);
        } else {
            EXPECT_EQ(w.width(), row.width + 2);
        }
        if (row.tall) {
            EXPECT_EQ(frame.bottom(), screen.bottom());
            EXPECT_GT(w.ClientArea->verticalScrollBar()->maximum(), 0);
        } else {
            EXPECT_EQ(w.height(), row.height + 2);
        }
        EXPECT_EQ(w.WynikImage->size(), QSize(row.width, row.height));
    }
}

TEST_F(CompareTest, ZeroSizedCommonAreaEndsWithTheFloatingPointError) {
    Place(Forms.MainForm->Image1, 5, 5, Black);
    TBitmap empty;
    Forms.MainForm->Image2->Picture().SetGraphic(&empty);
    ASSERT_FALSE(Forms.MainForm->Image2->Picture().Empty());
    dialogs.boxAnswers.push_back(QMessageBox::Yes);
    ProgressWatch watch(Forms.ProgressForm);
    Compare();
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    ExpectBox(dialogs.boxes[1], QStringLiteral("Invalid floating point operation."), ApplicationTitle(),
              QMessageBox::Ok, QMessageBox::Critical);
    EXPECT_EQ(watch.shown, 1);
    EXPECT_FALSE(Forms.ProgressForm->isVisible());
    EXPECT_FALSE(Forms.WynikForm->isVisible());
    EXPECT_FALSE(Forms.ProcentForm->isVisible());
    for (long double bin : Forms.MainForm->Histogram) EXPECT_EQ(bin, 0.0L);
}

TEST_F(CompareTest, TwoComparisonsInARowLeaveNothingOfTheFirst) {
    PlaceBoth(4, 1, Black, White);
    Compare();
    auto right = [](int x, int) -> TColor { return x < 2 ? 0 : 0xFFFFFF; };
    PlaceBoth(4, 1, Black, right);
    Compare();
    EXPECT_EQ(Texts(), (QStringList{"50 %", "0 %", "0 %", "0 %", "0 %", "0 %", "50 %"}));
    long double sum = 0;
    for (long double bin : Forms.MainForm->Histogram) sum += bin;
    EXPECT_NEAR(static_cast<double>(sum), 100.0, 1e-9);
}

}  // namespace
}  // namespace duvo::test
