// The open command: the routes by extension, the boxes of its failures, the
// side dialog, the label and the layout after an open.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/About.h"
#include "app/Forms.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "core/gif_builder.h"
#include "core/jpeg_fixtures.h"
#include "gui_fixture.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "rtl/exceptions.h"
#include "widgets/Dialogs.h"
#include "widgets/ImageControl.h"
#include "widgets/OpenPictureDialog.h"

namespace duvo::test {
namespace {

TColor Pattern(int x, int y) {
    return static_cast<TColor>((x * 7 + y * 13) & 0xFF) | ((x & 0xFF) << 8) | ((y & 0xFF) << 16);
}

class OpenTest : public FormsTest {};

TEST_F(OpenTest, BmpIntoTheLeftPaneLaysOutPaneHeaderAndLabel) {
    const std::string file = Path("kot.bmp");
    const auto size = WriteBmp(file, 640, 480, Pattern);
    OpenInto(file, 0);
    TMainForm& m = *Forms.MainForm;
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(dialogs.modals, (std::vector<QString>{QStringLiteral("PanelForm")}));
    ASSERT_FALSE(m.Image1->Picture().Empty());
    EXPECT_EQ(m.Image1->Picture().Width(), 640);
    EXPECT_EQ(m.Image1->Picture().Height(), 480);
    EXPECT_EQ(m.Image1->geometry(), QRect(0, 51, 640, 500));
    EXPECT_EQ(m.Panel->geometry(), QRect(0, 32, 640, 20));
    EXPECT_EQ(m.Label1->pos(), QPoint(0, 535));
    EXPECT_EQ(m.Label1->text(), QStringLiteral("kot.bmp:%1").arg(size));
    EXPECT_EQ(m.Panel2->geometry(), QRect(641, 32, 300, 20));
    EXPECT_TRUE(m.Image2->Picture().Empty());
    // The pane shows the scratch pane's pixels without a copy.
    auto* pane = dynamic_cast<TBitmap*>(m.Image1->Picture().Graphic());
    auto* temp = dynamic_cast<TBitmap*>(m.ImageTemp->Picture().Graphic());
    ASSERT_TRUE(pane && temp);
    EXPECT_TRUE(pane->SharesStoreWith(*temp));
    EXPECT_EQ(pane->Canvas().ReadPixel(100, 200), Pattern(100, 200));
    // The client area scrolls to the farthest control.
    EXPECT_GE(m.ClientArea->width(), 941);
    EXPECT_GE(m.ClientArea->height(), 551);
}

// An upper-case extension takes the BMP route too.
TEST_F(OpenTest, PictureOnlyOnTheRightStartsAfterTheEmptyLeftHeader) {
    const std::string file = Path("A.BMP");
    const auto size = WriteBmp(file, 30, 10, Pattern);
    OpenInto(file, 1);
    TMainForm& m = *Forms.MainForm;
    EXPECT_EQ(m.Panel->geometry(), QRect(0, 32, 300, 20));
    EXPECT_EQ(m.Image2->geometry(), QRect(301, 51, 30, 30));
    EXPECT_EQ(m.Panel2->geometry(), QRect(301, 32, 30, 20));
    EXPECT_EQ(m.Label2->pos(), QPoint(301, 65));
    EXPECT_EQ(m.Label2->text(), QStringLiteral("A.BMP:%1").arg(size));
    EXPECT_TRUE(m.Label1->text().isEmpty());
    EXPECT_TRUE(dialogs.boxes.empty());
}

// The file labels are opaque on the form's color, as the toolkit's labels
// are by default: the one in front stays readable where they overlap or one
// lies over the other pane's picture, and an empty one covers nothing.
TEST_F(OpenTest, FileLabelsCoverWhatLiesBehindThem) {
    TMainForm& m = *Forms.MainForm;
    const struct {
        const char* what;
        int leftWidth, leftHeight, rightWidth, rightHeight;
        QLabel* front;  // the label that must show alone
    } rows[] = {
        {"narrow pictures: the labels overlap", 4, 3, 4, 3, m.Label2},
        {"the left label over the right picture", 4, 3, 200, 200, m.Label1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string left = Path("a-rather-long-name-on-the-left.bmp");
        const std::string right = Path("and-another-long-one-on-the-right.bmp");
        WriteBmp(left, row.leftWidth, row.leftHeight, [](int, int) { return 0; });
        WriteBmp(right, row.rightWidth, row.rightHeight, [](int, int) { return 0; });
        OpenInto(left, 0);
        OpenInto(right, 1);
        ASSERT_TRUE(
            m.Label1->geometry().intersects(row.front == m.Label2 ? m.Label2->geometry() : m.Image2->geometry()));
        const QImage client = m.ClientArea->grab().toImage();
        const QImage alone = row.front->grab().toImage();
        EXPECT_EQ(client.copy(row.front->geometry()), alone.convertToFormat(client.format()));
        EXPECT_EQ(alone.pixelColor(alone.width() - 1, 0), m.ClientArea->palette().color(QPalette::Window));
    }

    // An empty label over a picture: the right one at 0, 300 with no picture
    // on the right and a tall one on the left.
    DestroyForms();
    CreateForms();
    TMainForm& fresh = *Forms.MainForm;
    const std::string tall = Path("tall.bmp");
    WriteBmp(tall, 40, 400, [](int, int) { return 0; });
    OpenInto(tall, 0);
    ASSERT_EQ(fresh.Label2->pos(), QPoint(0, 300));
    ASSERT_TRUE(fresh.Label2->text().isEmpty());
    const QImage client = fresh.ClientArea->grab().toImage();
    for (int x : {0, 1, 20}) EXPECT_EQ(client.pixelColor(x, 302), QColor(Qt::black)) << x;
}

TEST_F(OpenTest, SideDialogOffersTheSideChosenLast) {
    const std::string file = Path("b.bmp");
    WriteBmp(file, 4, 3, Pattern);
    OpenInto(file, 1);
    // The next open presses OK without touching the choice.
    dialogs.openAnswers.push_back(QString::fromStdString(file));
    int offered = -1;
    dialogs.onModal = [&](QDialog& d) {
        auto& panel = dynamic_cast<TPanelForm&>(d);
        offered = panel.ItemIndex();
        panel.OKBtn->click();
    };
    Forms.MainForm->FileOpenItem->trigger();
    EXPECT_EQ(offered, 1);
    EXPECT_TRUE(Forms.MainForm->Image1->Picture().Empty());
    EXPECT_FALSE(Forms.MainForm->Image2->Picture().Empty());
}

TEST_F(OpenTest, CancelInTheSideDialogLeavesThePanesAndKeepsTheScratchPicture) {
    const std::string first = Path("first.bmp"), second = Path("second.bmp");
    WriteBmp(first, 5, 5, Pattern);
    WriteBmp(second, 7, 2, Pattern);
    OpenInto(first, 0);
    TMainForm& m = *Forms.MainForm;
    const QString label = m.Label1->text();
    dialogs.openAnswers.push_back(QString::fromStdString(second));
    dialogs.onModal = [](QDialog& d) { dynamic_cast<TPanelForm&>(d).CancelBtn->click(); };
    m.FileOpenItem->trigger();
    EXPECT_EQ(m.Image1->Picture().Width(), 5);
    EXPECT_TRUE(m.Image2->Picture().Empty());
    EXPECT_EQ(m.Label1->text(), label);
    EXPECT_EQ(m.ImageTemp->Picture().Width(), 7);
    EXPECT_EQ(m.Panel2->x(), 6);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(OpenTest, CancelledOpenDialogDoesNothing) {
    Forms.MainForm->FileOpenItem->trigger();
    EXPECT_EQ(dialogs.openCalls, 1);
    EXPECT_TRUE(dialogs.modals.empty());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(Forms.MainForm->ImageTemp->Picture().Empty());
}

struct FailureRow {
    const char* what;
    const char* name;                     // under the temporary folder
    std::optional<std::string> contents;  // nothing: the file is not created
    const char* text;                     // expected box text ("%1": the full path)
    const char* caption;                  // "%t": the application title
    QMessageBox::Icon icon;
};

class OpenFailureTest : public FormsTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(OpenFailureTest, ShowsItsBoxAndLeavesThePanes) {
    const FailureRow& row = GetParam();
    // A picture on the left first, so "unchanged" means something.
    const std::string good = Path("good.bmp");
    WriteBmp(good, 6, 4, Pattern);
    OpenInto(good, 0);
    ASSERT_TRUE(dialogs.boxes.empty());
    TMainForm& m = *Forms.MainForm;
    dialogs.modals.clear();

    const std::string target = Path(row.name);
    if (row.contents) {
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        WriteBytes(target, *row.contents);
    }
    dialogs.openAnswers.push_back(QString::fromStdString(target));
    m.FileOpenItem->trigger();

    ASSERT_EQ(dialogs.boxes.size(), 1u);
    ExpectBox(
        dialogs.boxes[0], QString::fromUtf8(row.text).replace(QStringLiteral("%1"), QString::fromStdString(target)),
        QString::fromUtf8(row.caption).replace(QStringLiteral("%t"), ApplicationTitle()), QMessageBox::Ok, row.icon);
    EXPECT_TRUE(dialogs.modals.empty()) << "no side dialog after a failure";
    EXPECT_EQ(m.Image1->Picture().Width(), 6);
    EXPECT_TRUE(m.Image2->Picture().Empty());
    EXPECT_EQ(m.Label1->text().left(9), QStringLiteral("good.bmp:"));
}

// A real BMP, under other extensions, so only the extension decides.
const std::string kBmp = [] {
    TBitmap b;
    MakeBitmap(b, 2, 2, Pattern);
    TMemoryStream s;
    b.WriteToStream(s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}();
// A 3 x 2 GIF of the pattern's colors, and one that names no color table.
std::string AsString(const giftest::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
giftest::Bytes PatternGif(int w, int h) {
    std::vector<std::uint32_t> colors;
    giftest::Bytes indices;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            indices.push_back(static_cast<std::uint8_t>(colors.size()));
            colors.push_back(static_cast<std::uint32_t>(Pattern(x, y)));
        }
    return giftest::GifWriter()
        .Header()
        .ScreenColors(w, h, colors)
        .ImageColors(w, h, {})
        .Pixels(w, h, indices)
        .Trailer()
        .out;
}
const std::string kGif = AsString(PatternGif(3, 2));
const std::string kGifWithoutTables = AsString(
    giftest::GifWriter().Header().ScreenColors(2, 1, {}).ImageColors(2, 1, {}).Pixels(2, 1, {0, 1}).Trailer().out);
const char* const kUnknown = "Nieznany format pliku graficznego !!!";
const char* const kLoadError = "Bląd przy wczytywaniu pliku graficznego !!!";
constexpr auto kNone = QMessageBox::NoIcon;
constexpr auto kCritical = QMessageBox::Critical;

INSTANTIATE_TEST_SUITE_P(
    Rows, OpenFailureTest,
    ::testing::Values(
        FailureRow{"jpeg extension", "photo.jpeg", kBmp, kUnknown, "Bląd !", kNone},
        FailureRow{"no extension", "picture", kBmp, kUnknown, "Bląd !", kNone},
        FailureRow{"dot only in a folder name", "dir.bmp/picture", kBmp, kUnknown, "Bląd !", kNone},
        FailureRow{"png", "x.png", kBmp, kUnknown, "Bląd !", kNone},
        FailureRow{"bmp that is not a bitmap", "bad.bmp",
                   "BM" + std::string(12, '\0') + std::string("\x05\0\0\0", 4) + std::string(60, 'x'), kLoadError,
                   "Bląd!", kNone},
        FailureRow{"bmp with a bad signature", "sig.bmp", "XX" + kBmp.substr(2), kLoadError, "Bląd!", kNone},
        FailureRow{"truncated bmp header", "short.bmp", kBmp.substr(0, 20), "Stream read error.", "%t", kCritical},
        FailureRow{"missing file", "missing.bmp", std::nullopt, "Cannot open file %1.", "%t", kCritical},
        FailureRow{"empty jpg", "empty.jpg", "", kLoadError, "Bląd!", kNone},
        FailureRow{"jpg that is text", "text.jpg", std::string(300, 'j'), kLoadError, "Bląd!", kNone},
        FailureRow{"bmp named jpg", "bmp.jpg", kBmp, kLoadError, "Bląd!", kNone},
        FailureRow{"missing jpg", "missing.jpg", std::nullopt, "Cannot open file %1.", "%t", kCritical},
        // The GIF route catches nothing: the codec's message, with its full stop.
        FailureRow{"text named gif", "text.gif", std::string("hello, this is no picture"), "Invalid GIF signature.",
                   "%t", kCritical},
        FailureRow{"gif cut in its color table", "cut.gif", kGif.substr(0, 20), "Premature end of data.", "%t",
                   kCritical},
        FailureRow{"gif without any color table", "notable.gif", kGifWithoutTables,
                   "No global or local color table defined.", "%t", kCritical},
        FailureRow{"missing gif", "missing.gif", std::nullopt, "Cannot open file %1.", "%t", kCritical}),
    [](const ::testing::TestParamInfo<FailureRow>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST_F(OpenTest, JpegTakesItsRouteAndArrivesAsABitmap) {
    jpegtest::EncodeRecipe recipe;
    recipe.width = 64;
    recipe.height = 48;
    const jpegtest::Bytes bytes = jpegtest::EncodeJpeg(recipe);
    for (const char* name : {"photo.jpg", "PHOTO.JPG"}) {
        SCOPED_TRACE(name);
        const std::string file = Path(name);
        jpegtest::WriteFile(file, bytes);
        OpenInto(file, 1);
        TMainForm& m = *Forms.MainForm;
        EXPECT_TRUE(dialogs.boxes.empty());
        auto* pane = dynamic_cast<TBitmap*>(m.Image2->Picture().Graphic());
        ASSERT_NE(pane, nullptr);
        EXPECT_EQ(pane->Width(), 64);
        EXPECT_EQ(pane->Height(), 48);
        EXPECT_EQ(m.Label2->text(), QStringLiteral("%1:%2").arg(QString::fromLatin1(name)).arg(bytes.size()));
        EXPECT_EQ(m.Image2->geometry(), QRect(301, 51, 64, 68));
        // The decoded pixels are the library's own decode.
        const jpegtest::Decoded reference = jpegtest::ReferenceDecode(bytes, {});
        EXPECT_EQ(static_cast<std::uint32_t>(pane->Canvas().ReadPixel(10, 20)),
                  jpegtest::ReferenceColor(reference, 10, 20));
    }
}

TEST_F(OpenTest, GifOpensIntoEitherPaneAndComparesEqualToItsBmpTwin) {
    const giftest::Bytes gif = PatternGif(12, 5);
    for (int side : {0, 1}) {
        SCOPED_TRACE(side);
        const std::string file = Path(side ? "RIGHT.GIF" : "left.gif");
        WriteBytes(file, AsString(gif));
        OpenInto(file, side);
        TMainForm& m = *Forms.MainForm;
        EXPECT_TRUE(dialogs.boxes.empty());
        TImageControl* pane = side ? m.Image2 : m.Image1;
        auto* bitmap = dynamic_cast<TBitmap*>(pane->Picture().Graphic());
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->Width(), 12);
        EXPECT_EQ(bitmap->PixelKind(), pk8Bit);
        const QString name = QString::fromStdString(std::filesystem::path(file).filename().string());
        EXPECT_EQ((side ? m.Label2 : m.Label1)->text(), QStringLiteral("%1:%2").arg(name).arg(gif.size()));
    }
    // The same picture as a 24-bit BMP on the right: every pixel the same.
    const std::string bmp = Path("twin.bmp");
    WriteBmp(bmp, 12, 5, Pattern);
    OpenInto(bmp, 1);
    Forms.MainForm->PorownajClick();
    EXPECT_EQ(Forms.ProcentForm->Edit1->text(), QStringLiteral("100 %"));
    EXPECT_TRUE(dialogs.boxes.empty());
}

// ---- the side dialog --------------------------------------------------------

TEST_F(OpenTest, SideDialogHasItsControlsAndNoDefaultOrCancelButton) {
    TPanelForm& p = *Forms.PanelForm;
    EXPECT_EQ(p.Memo1->geometry(), QRect(8, 8, 257, 33));
    EXPECT_EQ(p.Memo1->toPlainText(), QStringLiteral("Gdzie wyświetlić rysunek?"));
    EXPECT_FALSE(p.Memo1->isEnabled());
    EXPECT_EQ(p.Memo1->font().pixelSize(), 19);
    EXPECT_TRUE(p.Memo1->font().bold());
    EXPECT_EQ(p.OKBtn->geometry(), QRect(27, 104, 85, 27));
    EXPECT_EQ(p.CancelBtn->geometry(), QRect(163, 104, 85, 27));
    EXPECT_EQ(p.OKBtn->text(), QStringLiteral("OK"));
    EXPECT_EQ(p.CancelBtn->text(), QStringLiteral("Anuluj"));
    EXPECT_EQ(p.RadioGroup1->geometry(), QRect(24, 36, 225, 61));
    EXPECT_TRUE(p.RadioGroup1->title().isEmpty());
    EXPECT_EQ(p.LeftItem->text(), QStringLiteral("Po lewej stronie"));
    EXPECT_EQ(p.RightItem->text(), QStringLiteral("Po prawej stronie"));
    EXPECT_EQ(p.ItemIndex(), 0);
    for (QPushButton* b : {p.OKBtn, p.CancelBtn}) {
        EXPECT_FALSE(b->isDefault());
        EXPECT_FALSE(b->autoDefault());
    }
    const Qt::WindowFlags flags = p.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
}

TEST_F(OpenTest, EscDoesNothingInTheSideDialogAndEnterPressesOnlyTheFocusedButton) {
    TPanelForm& p = *Forms.PanelForm;
    p.show();
    QTest::keyClick(&p, Qt::Key_Escape);
    EXPECT_TRUE(p.isVisible());
    p.RightItem->setFocus();
    QTest::keyClick(p.RightItem, Qt::Key_Return);
    EXPECT_TRUE(p.isVisible());
    p.CancelBtn->setFocus();
    QTest::keyClick(p.CancelBtn, Qt::Key_Return);
    EXPECT_FALSE(p.isVisible());
    EXPECT_EQ(p.result(), QDialog::Rejected);
}

// ---- the open dialog ---------------------------------------------------------

TEST(OpenDialogFilters, FilterPairsBecomeNameFiltersWithTheirDescriptions) {
    TOpenPictureDialog d;
    EXPECT_EQ(NameFilters(d.Filter),
              (QStringList{QStringLiteral("Wszystkie obsługiwane formaty (*.bmp *.gif *.jpeg *.jpg)"),
                           QStringLiteral("JPEGi (*.jpg, *.jpeg) (*.jpg *.jpeg)"),
                           QStringLiteral("Bitmapy (*.bmp) (*.bmp)"), QStringLiteral("GIFy (*.gif) (*.gif)")}));
    EXPECT_EQ(NameFilters(QStringLiteral("A|*.a")), QStringList{QStringLiteral("A (*.a)")});
    EXPECT_TRUE(NameFilters(QString()).isEmpty());
}

class OpenDialogTest : public FormsTest {};

TEST_F(OpenDialogTest, StartsWithTheFirstPairThenWithTheLastPairFolderAndFile) {
    TOpenPictureDialog d;
    auto first = d.MakeWindow();
    EXPECT_TRUE(first->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(first->fileMode(), QFileDialog::AnyFile);
    // Each filter shows its description alone, the first one selected.
    const QComboBox* types = first->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);
    QStringList shown;
    for (int i = 0; i < types->count(); ++i) shown << types->itemText(i);
    EXPECT_EQ(shown,
              (QStringList{QStringLiteral("Wszystkie obsługiwane formaty"), QStringLiteral("JPEGi (*.jpg, *.jpeg)"),
                           QStringLiteral("Bitmapy (*.bmp)"), QStringLiteral("GIFy (*.gif)")}));
    EXPECT_EQ(types->currentIndex(), 0);
    ASSERT_NE(TOpenPictureDialog::Preview(*first), nullptr);

    const std::string file = Path("sub/pic.bmp");
    std::filesystem::create_directories(Path("sub"));
    WriteBmp(file, 4, 3, Pattern);
    first->selectNameFilter(NameFilters(d.Filter)[2]);
    first->setDirectory(QString::fromStdString(Path("sub")));
    first->selectFile(QStringLiteral("pic.bmp"));
    EXPECT_EQ(d.TakeResult(*first), QString::fromStdString(file));
    EXPECT_EQ(d.FilterIndex, 3);

    auto second = d.MakeWindow();
    EXPECT_EQ(second->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText(),
              QStringLiteral("Bitmapy (*.bmp)"));
    EXPECT_EQ(QDir(second->directory()).absolutePath(), QDir(QString::fromStdString(Path("sub"))).absolutePath());
    EXPECT_EQ(second->selectedFiles().value(0), QString::fromStdString(file));
    EXPECT_EQ(TOpenPictureDialog::Preview(*second)->PictureLabel->text(), QStringLiteral(" (4x3)"));
}

// Qt's own texts in the standard dialogs are Polish, as the program is.
TEST_F(OpenDialogTest, StandardDialogsSpeakPolish) {
    ASSERT_TRUE(LoadPolishToolkitTexts()) << "Qt's Polish translations (qt6-translations-l10n) are missing";
    EXPECT_EQ(TOpenPictureDialog().MakeWindow()->windowTitle(), QStringLiteral("Otwórz"));
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("c"), QStringLiteral("t"), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), QStringLiteral("Tak"));
    EXPECT_EQ(box.button(QMessageBox::No)->text().remove(QLatin1Char('&')), QStringLiteral("Nie"));
}

TEST_F(OpenDialogTest, AcceptsATypedNameOfAFileThatDoesNotExist) {
    TOpenPictureDialog d;
    auto window = d.MakeWindow();
    window->setDirectory(dir.path());
    window->selectFile(QStringLiteral("nowhere.bmp"));
    window->show();
    static_cast<QDialog*>(window.get())->accept();
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_EQ(d.TakeResult(*window), QString::fromStdString(Path("nowhere.bmp")));
}

TEST_F(OpenDialogTest, PreviewShowsSizeAndPictureOrNothingOnFailure) {
    TPicturePreview preview;
    const std::string good = Path("p.bmp");
    WriteBmp(good, 400, 100, Pattern);
    preview.ShowFile(QString::fromStdString(good));
    EXPECT_EQ(preview.PictureLabel->text(), QStringLiteral(" (400x100)"));
    ASSERT_FALSE(preview.Picture().isNull());
    EXPECT_EQ(preview.Picture().size(), QSize(400, 100));
    const TColor at = Pattern(10, 20);
    EXPECT_EQ(preview.Picture().pixel(10, 20) & 0xFFFFFF,
              qRgb(at & 0xFF, (at >> 8) & 0xFF, (at >> 16) & 0xFF) & 0xFFFFFF);
    const QPixmap shown = preview.ImageCtrl->pixmap();
    EXPECT_LE(shown.width(), preview.ImageCtrl->width());
    EXPECT_EQ(shown.width() / 4, shown.height());

    const std::string bad = Path("bad.bmp");
    WriteBytes(bad, "not a picture at all");
    preview.ShowFile(QString::fromStdString(bad));
    EXPECT_EQ(preview.PictureLabel->text(), QStringLiteral("Picture:"));
    EXPECT_TRUE(preview.Picture().isNull());
    EXPECT_TRUE(preview.ImageCtrl->pixmap().isNull());

    // A folder and a missing file clear a shown preview too.
    for (const QString& nothing : {dir.path(), QString::fromStdString(Path("x.txt"))}) {
        preview.ShowFile(QString::fromStdString(good));
        preview.ShowFile(nothing);
        EXPECT_EQ(preview.PictureLabel->text(), QStringLiteral("Picture:"));
    }
}

// The preview shows the file selected in the list and nothing once no file
// is selected: another filter hides it, a folder is selected or entered, the
// selection is cleared; and the file again when the list selects it again.
TEST_F(OpenDialogTest, PreviewEmptiesWhenTheSelectionIsNoLongerAFile) {
    std::filesystem::create_directories(Path("folder"));
    WriteBmp(Path("p.bmp"), 4, 3, Pattern);
    TOpenPictureDialog d;
    auto window = d.MakeWindow();
    window->setDirectory(dir.path());
    window->show();
    auto* list = window->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(list, nullptr);
    auto row = [&](const QString& name) {
        const QModelIndex root = list->rootIndex();
        for (int i = 0; i < list->model()->rowCount(root); ++i)
            if (list->model()->index(i, 0, root).data().toString() == name) return list->model()->index(i, 0, root);
        return QModelIndex();
    };
    ASSERT_TRUE(
        WaitUntil([&] { return row(QStringLiteral("p.bmp")).isValid() && row(QStringLiteral("folder")).isValid(); }));
    auto click = [&](const QString& name) {
        ASSERT_TRUE(WaitUntil([&] { return row(name).isValid() && !list->visualRect(row(name)).isEmpty(); }))
            << name.toStdString();
        const QRect at = list->visualRect(row(name));
        // Far enough in time from the last click not to make a double click.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at.center(), QApplication::doubleClickInterval());
        ASSERT_EQ(list->currentIndex(), row(name));
    };
    TPicturePreview& preview = *TOpenPictureDialog::Preview(*window);
    auto* types = window->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);

    const struct {
        const char* what;
        std::function<void()> act;
    } rows[] = {
        {"another filter hides the file",
         [&] {
             // As a user picks it: "GIFy (*.gif)", the last one.
             types->setFocus();
             QTest::keyClick(types, Qt::Key_End);
             ASSERT_EQ(types->currentIndex(), 3);
             ASSERT_TRUE(WaitUntil([&] { return !row(QStringLiteral("p.bmp")).isValid(); }));
         }},
        {"a folder is selected", [&] { click(QStringLiteral("folder")); }},
        {"the folder above is entered",
         [&] {
             auto* up = window->findChild<QToolButton*>(QStringLiteral("toParentButton"));
             ASSERT_NE(up, nullptr);
             up->click();
             ASSERT_NE(QDir(window->directory()), QDir(dir.path()));
         }},
        {"the selection is cleared", [&] { list->clearSelection(); }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        window->setDirectory(dir.path());
        window->selectNameFilter(NameFilters(d.Filter)[0]);
        click(QStringLiteral("p.bmp"));
        ASSERT_EQ(preview.PictureLabel->text(), QStringLiteral(" (4x3)"));
        r.act();
        EXPECT_TRUE(WaitUntil([&] { return preview.PictureLabel->text() == QStringLiteral("Picture:"); }))
            << preview.PictureLabel->text().toStdString();
        EXPECT_TRUE(preview.Picture().isNull());
        EXPECT_TRUE(preview.ImageCtrl->pixmap().isNull());
    }

    // A file another filter hid comes back selected when the filter that
    // shows it is chosen again, and so does its preview.
    window->setDirectory(dir.path());
    click(QStringLiteral("p.bmp"));
    types->setFocus();
    QTest::keyClick(types, Qt::Key_End);
    ASSERT_TRUE(WaitUntil([&] { return preview.PictureLabel->text() == QStringLiteral("Picture:"); }));
    QTest::keyClick(types, Qt::Key_Home);
    ASSERT_EQ(types->currentIndex(), 0);
    EXPECT_TRUE(WaitUntil([&] { return preview.PictureLabel->text() == QStringLiteral(" (4x3)"); }))
        << preview.PictureLabel->text().toStdString();
    EXPECT_EQ(list->selectionModel()->selectedRows().value(0), row(QStringLiteral("p.bmp")));
}

// Ctrl+O and Ctrl+X work from every non-modal window of the program, as from
// the main window; a modal window blocks them.
TEST_F(OpenDialogTest, MainMenuShortcutsWorkFromEveryNonModalWindow) {
    TMainForm& m = *Forms.MainForm;
    QWidget* windows[] = {Forms.MainForm, Forms.ProcentForm, Forms.WynikForm, Forms.Form1};
    for (QWidget* window : windows) {
        SCOPED_TRACE(window->objectName().toStdString());
        m.show();
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QWidget* target = window->focusWidget() ? window->focusWidget() : window;
        const int before = dialogs.openCalls;
        QTest::keyClick(target, Qt::Key_O, Qt::ControlModifier);
        EXPECT_EQ(dialogs.openCalls, before + 1);
        QTest::keyClick(target, Qt::Key_X, Qt::ControlModifier);
        EXPECT_FALSE(m.isVisible());
    }

    m.show();
    for (QDialog* modal : std::initializer_list<QDialog*>{Forms.AboutForm, Forms.CheckForm, Forms.PanelForm}) {
        SCOPED_TRACE(modal->objectName().toStdString());
        modal->show();
        modal->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(modal));
        const int before = dialogs.openCalls;
        QWidget* target = modal->focusWidget() ? modal->focusWidget() : modal;
        QTest::keyClick(target, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(target, Qt::Key_X, Qt::ControlModifier);
        EXPECT_EQ(dialogs.openCalls, before);
        EXPECT_TRUE(m.isVisible());
        modal->hide();
    }
}

TEST_F(OpenDialogTest, CtrlOOpensTheOpenDialogAndCtrlXClosesTheProgram) {
    TMainForm& m = *Forms.MainForm;
    m.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m));
    QTest::keyClick(&m, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs.openCalls, 1);
    EXPECT_TRUE(m.isVisible());
    QTest::keyClick(&m, Qt::Key_X, Qt::ControlModifier);
    EXPECT_FALSE(m.isVisible());
}

}  // namespace
}  // namespace duvo::test
