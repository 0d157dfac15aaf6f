// The program's window set: every window is created once at start, in a
// fixed order, and lives until the program ends. The variables are reachable
// program-wide so the windows can use each other, as the commands need.
#pragma once

#include <QString>

namespace duvo {

class TMainForm;
class TPanelForm;
class TWynikForm;
class TProgressForm;
class TProcentForm;
class TCheckForm;
class TAboutForm;
class TForm1;

struct TFormSet {
    TMainForm* MainForm = nullptr;
    TPanelForm* PanelForm = nullptr;
    TWynikForm* WynikForm = nullptr;
    TProgressForm* ProgressForm = nullptr;
    TProcentForm* ProcentForm = nullptr;
    TCheckForm* CheckForm = nullptr;
    TAboutForm* AboutForm = nullptr;
    TForm1* Form1 = nullptr;
};

// The program-wide window variables; all null outside CreateForms/DestroyForms.
extern TFormSet Forms;

// Creates the eight windows in their order; only the main window is shown.
// A QApplication must exist.
void CreateForms();
// Destroys them in reverse order and clears the variables.
void DestroyForms();

// The application's title: the program file's name without folder, cut at
// its first ".".
QString ApplicationTitle();

// The user's decimal symbol, read once by ReadRegionalSettings ("." when the
// locale gives none).
QString DecimalSymbol();
void ReadRegionalSettings();
// For tests of other regional settings.
void SetDecimalSymbol(const QString& symbol);

}  // namespace duvo
