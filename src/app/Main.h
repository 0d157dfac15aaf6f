// The main window: the program's commands, the two panes with their headers
// and file labels, the tool buttons and the status line.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>

#include "compare/compare.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QMenuBar;
class QScrollArea;
class QStatusBar;
class QToolButton;

namespace duvo {

class TImageControl;
class TOpenPictureDialog;

// What a directory search reports about one file.
struct TSearchRec {
    std::string Name;  // without folder
    std::int32_t Size = 0;
};

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    QMenuBar* MainMenu;
    QMenu* FileMenu;
    QAction* FileOpenItem;
    QAction* N1;
    QAction* FileExitItem;
    QMenu* PorownajMenu;
    QAction* Porownaj;
    QAction* Wyniki;
    QMenu* HelpMenu;
    QAction* HelpAboutItem;

    QScrollArea* ClientScroll;
    QWidget* ClientArea;
    QFrame* SpeedBar;
    QToolButton* SpeedButton1;
    QToolButton* SpeedButton2;
    QToolButton* SpeedButton6;
    QToolButton* SpeedButton5;
    QStatusBar* StatusLine;
    QLabel* Panel;
    QLabel* Panel2;
    TImageControl* Image1;
    TImageControl* Image2;
    TImageControl* ImageTemp;
    QLabel* Label1;
    QLabel* Label2;
    std::unique_ptr<TOpenPictureDialog> OpenDialog;

    // The last open command's directory search.
    TSearchRec SearchRec;
    // The similarity histogram of the last comparison, in percent.
    SimilarityHistogram Histogram{};

    // Commands; the menu items and tool buttons run them inside the default
    // error display.
    void FileOpen();
    void FileExit();
    void PorownajClick();
    void WynikiClick();
    void HelpAbout();
    void HelpContents();
    void SpeedButton2Click();

    void FormCreate();
    void ShowHint(const QString& hint);
    void FormResize();
    // The pane layout: each pane sized to its picture, the right one after
    // the left header.
    void Resize();
    // Writes the range summary of the histogram into the percentages window.
    void PiszWyniki();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenu();
    void BuildSpeedBar();
    void BuildPanes();
    void UpdateScrollExtent();
    void SetFileLabel(QLabel* label, const TSearchRec& rec);
};

}  // namespace duvo
