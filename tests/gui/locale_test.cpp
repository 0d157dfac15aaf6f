// The user's regional settings: the interface, the open dialog's file list
// included, is Polish whatever they are, while the percentages take their
// decimal symbol. The system locale is read from the environment once per
// process, so each locale is tried in a run of this program of its own.
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QLocale>
#include <QProcess>
#include <QTreeView>

#include "app/Forms.h"
#include "app/Main.h"
#include "gui_fixture.h"
#include "results/procent.h"
#include "widgets/Dialogs.h"
#include "widgets/ImageControl.h"
#include "widgets/OpenPictureDialog.h"

namespace duvo::test {
namespace {

// What the child run is told: the system locale it runs under and the
// decimal symbol that locale has.
constexpr char kLocaleVariable[] = "DUVO_TEST_SYSTEM_LOCALE";
constexpr char kDecimalVariable[] = "DUVO_TEST_DECIMAL_SYMBOL";

// The child run's test. It exists only in a run told its locale, so that
// the runs of every test and their listing do not see it.
class LocaleChildTest : public FormsTest {
public:
    void TestBody() override;
};

const bool kChildRegistered = [] {
    if (qEnvironmentVariableIsEmpty(kLocaleVariable)) return false;
    ::testing::RegisterTest("LocaleChildTest", "FileListIsPolishAndFiguresTakeTheSystemsDecimalSymbol", nullptr,
                            nullptr, __FILE__, __LINE__, []() -> FormsTest* { return new LocaleChildTest; });
    return true;
}();

void LocaleChildTest::TestBody() {
    const QString locale = qEnvironmentVariable(kLocaleVariable);
    const QString point = qEnvironmentVariable(kDecimalVariable);
    ASSERT_EQ(QLocale::system().name().toStdString(), locale.toStdString());
    // As the program starts: the toolkit's texts made Polish, then the
    // regional settings read.
    ASSERT_TRUE(LoadPolishToolkitTexts()) << "Qt's Polish translations (qt6-translations-l10n) are missing";
    ReadRegionalSettings();

    WriteBmp(Path("p.bmp"), 4, 3, [](int, int) -> TColor { return 0x102030; });
    WriteBytes(Path("k.txt"), std::string(1536, 'k'));
    const QDateTime when(QDate(2001, 2, 3), QTime(4, 5, 6));
    for (const char* name : {"p.bmp", "k.txt"}) {
        QFile file(QString::fromStdString(Path(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
    }
    TOpenPictureDialog d;
    d.Filter = QStringLiteral("Wszystko|*");
    auto window = d.MakeWindow();
    window->setDirectory(dir.path());
    window->show();
    auto* list = window->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(list, nullptr);
    auto cell = [&](const QString& name, int column) {
        const QModelIndex root = list->rootIndex();
        for (int i = 0; i < list->model()->rowCount(root); ++i)
            if (list->model()->index(i, 0, root).data().toString() == name)
                return list->model()->index(i, column, root).data().toString();
        return QString();
    };
    ASSERT_TRUE(WaitUntil(
        [&] { return !cell(QStringLiteral("p.bmp"), 2).isEmpty() && !cell(QStringLiteral("k.txt"), 2).isEmpty(); }));
    // Size, type, date; a 4 x 3 BMP of 24 bits is 90 bytes.
    EXPECT_EQ(cell(QStringLiteral("p.bmp"), 1).toStdString(), "90 bajty");
    EXPECT_EQ(cell(QStringLiteral("p.bmp"), 2).toStdString(), "Obraz BMP Windows");
    EXPECT_EQ(cell(QStringLiteral("p.bmp"), 3).toStdString(), "3.02.2001 04:05");
    EXPECT_EQ(cell(QStringLiteral("k.txt"), 1).toStdString(), "1,50 KiB");
    EXPECT_EQ(cell(QStringLiteral("k.txt"), 2).toStdString(), "Zwykły dokument tekstowy");

    // One pixel of three differs entirely, two are the same.
    auto place = [](TImageControl* pane, const std::function<TColor(int, int)>& fill) {
        TBitmap b;
        MakeBitmap(b, 3, 1, fill);
        pane->Picture().SetGraphic(&b);
    };
    place(Forms.MainForm->Image1, [](int, int) -> TColor { return 0; });
    place(Forms.MainForm->Image2, [](int x, int) -> TColor { return x == 0 ? 0xFFFFFF : 0; });
    Forms.MainForm->Porownaj->trigger();
    EXPECT_EQ(Forms.ProcentForm->Edit1->text().toStdString(), "66" + point.toStdString() + "6666666666667 %");
    EXPECT_EQ(Forms.ProcentForm->Edit7->text().toStdString(), "33" + point.toStdString() + "3333333333333 %");
}

// The locales a user may have, each with its decimal symbol; Polish itself,
// whose symbol is a comma like German's, would hide a file list that
// follows the system's locale.
TEST(SystemLocaleTest, FileListIsPolishAndFiguresTakeTheSystemsDecimalSymbol) {
    const struct {
        const char* lang;
        const char* name;
        const char* point;
    } rows[] = {{"en_US.UTF-8", "en_US", "."}, {"de_DE.UTF-8", "de_DE", ","}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lang);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LC_ALL", "LC_NUMERIC", "LC_TIME", "LC_MESSAGES", "LANGUAGE"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("LANG"), QString::fromLatin1(row.lang));
        environment.insert(QString::fromLatin1(kLocaleVariable), QString::fromLatin1(row.name));
        environment.insert(QString::fromLatin1(kDecimalVariable), QString::fromLatin1(row.point));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=LocaleChildTest.*"), QStringLiteral("--gtest_brief=0")});
        ASSERT_TRUE(child.waitForFinished(120000)) << "the child run did not end";
        const QString output = QString::fromUtf8(child.readAll());
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains(QStringLiteral("[       OK ] LocaleChildTest."))) << "the child run skipped it";
    }
}

}  // namespace
}  // namespace duvo::test
