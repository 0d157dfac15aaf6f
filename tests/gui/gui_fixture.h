// What every GUI test shares: scripted answers for the program's modal boxes
// and dialogs, a fixture that creates the window set afresh, and fixtures
// written as real files.
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <QString>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "graphics/bitmap.h"
#include "widgets/Dialogs.h"

namespace duvo::test {

struct ShownBox {
    QString text;
    QString caption;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
};

// Checks all four parts of a box that was shown.
void ExpectBox(const ShownBox& box, const QString& text, const QString& caption,
               QMessageBox::StandardButtons buttons = QMessageBox::Ok, QMessageBox::Icon icon = QMessageBox::NoIcon);

// Answers every modal without a nested loop and records what was asked.
class ScriptedDialogs : public Dialogs {
public:
    int MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                   QMessageBox::Icon icon) override;
    std::optional<QString> OpenFileName(TOpenPictureDialog& dialog) override;
    int ExecModal(QDialog& dialog) override;

    // Answers to the next boxes; an empty queue answers Ok to an OK box and
    // fails the test for a question.
    std::deque<int> boxAnswers;
    // File names the open dialog returns in turn; a null string or nothing
    // left: cancelled.
    std::deque<QString> openAnswers;
    // Acts on a modal dialog while it is shown (clicks, selections); when
    // empty, the dialog's OK is pressed.
    std::function<void(QDialog&)> onModal;

    std::vector<ShownBox> boxes;
    std::vector<QString> modals;  // object names of the dialogs shown
    int openCalls = 0;
};

class FormsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ScriptedDialogs dialogs;
    QTemporaryDir dir;
    // A path inside the temporary folder.
    std::string Path(const std::string& name) const;
    // Runs the open command for file, placing the picture on side (0 left,
    // 1 right) through the side dialog.
    void OpenInto(const std::string& file, int side);
};

// A 24-bit bitmap filled by fill(x, y) -> 0x00BBGGRR.
void MakeBitmap(TBitmap& bitmap, int width, int height, const std::function<TColor(int, int)>& fill,
                TPixelKind kind = pk24Bit);
// Writes such a bitmap as a BMP file and returns its size in bytes.
std::uintmax_t WriteBmp(const std::string& path, int width, int height, const std::function<TColor(int, int)>& fill,
                        TPixelKind kind = pk24Bit);
void WriteBytes(const std::string& path, const std::string& bytes);

// Processes events until done() holds or five seconds have passed; whether
// it held. For what the toolkit finishes a moment later (a folder being read).
bool WaitUntil(const std::function<bool()>& done);

// Resident memory of this process in kB, from /proc/self/status.
long ResidentKb();

}  // namespace duvo::test
