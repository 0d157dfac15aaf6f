#include "gui_fixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QThread>
#include <filesystem>
#include <fstream>

#include "app/Forms.h"
#include "app/Main.h"
#include "app/Panel.h"
#include "results/Check.h"

namespace duvo::test {

int ScriptedDialogs::MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                                QMessageBox::Icon icon) {
    boxes.push_back({text, caption, buttons, icon});
    if (!boxAnswers.empty()) {
        const int answer = boxAnswers.front();
        boxAnswers.pop_front();
        return answer;
    }
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok)) << "unanswered question: " << text.toStdString();
    return QMessageBox::Ok;
}

void ExpectBox(const ShownBox& box, const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
               QMessageBox::Icon icon) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.buttons, buttons);
    EXPECT_EQ(box.icon, icon);
}

std::optional<QString> ScriptedDialogs::OpenFileName(TOpenPictureDialog&) {
    ++openCalls;
    if (openAnswers.empty()) return std::nullopt;
    const QString answer = openAnswers.front();
    openAnswers.pop_front();
    if (answer.isNull()) return std::nullopt;
    return answer;
}

int ScriptedDialogs::ExecModal(QDialog& dialog) {
    modals.push_back(dialog.objectName());
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    if (onModal) {
        onModal(dialog);
    } else if (auto* panel = qobject_cast<TPanelForm*>(&dialog)) {
        panel->OKBtn->click();
    } else if (auto* check = qobject_cast<TCheckForm*>(&dialog)) {
        check->OKButton->click();
    } else {
        dialog.accept();
    }
    // A dialog that is still open is closed as its close box would.
    if (dialog.isVisible()) dialog.close();
    return dialog.result();
}

void FormsTest::SetUp() {
    ASSERT_TRUE(dir.isValid());
    Dialogs::Install(&dialogs);
    CreateForms();
}

void FormsTest::TearDown() {
    DestroyForms();
    Dialogs::Install(nullptr);
}

std::string FormsTest::Path(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
}

void FormsTest::OpenInto(const std::string& file, int side) {
    dialogs.openAnswers.push_back(QString::fromStdString(file));
    auto previous = dialogs.onModal;
    dialogs.onModal = [side](QDialog& d) {
        auto& panel = dynamic_cast<TPanelForm&>(d);
        panel.SetItemIndex(side);
        panel.OKBtn->click();
    };
    Forms.MainForm->FileOpenItem->trigger();
    dialogs.onModal = previous;
}

void MakeBitmap(TBitmap& bitmap, int width, int height, const std::function<TColor(int, int)>& fill, TPixelKind kind) {
    bitmap.SetPixelKind(kind);
    bitmap.SetWidth(width);
    bitmap.SetHeight(height);
    TCanvas& canvas = bitmap.Canvas();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) canvas.WritePixel(x, y, fill(x, y));
}

std::uintmax_t WriteBmp(const std::string& path, int width, int height, const std::function<TColor(int, int)>& fill,
                        TPixelKind kind) {
    TBitmap bitmap;
    MakeBitmap(bitmap, width, height, fill, kind);
    bitmap.SaveFile(path);
    return std::filesystem::file_size(path);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool WaitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(5000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace duvo::test
