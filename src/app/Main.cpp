#include "app/Main.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolButton>
#include <filesystem>
#include <system_error>

#include "app/About.h"
#include "app/Commands.h"
#include "app/Forms.h"
#include "app/Panel.h"
#include "app/SharedPixels.h"
#include "compare/summary.h"
#include "loading/open_routes.h"
#include "results/Check.h"
#include "results/Skala.h"
#include "results/Wynik.h"
#include "results/procent.h"
#include "results/progress.h"
#include "rtl/exceptions.h"
#include "widgets/Dialogs.h"
#include "widgets/FormSupport.h"
#include "widgets/Glyphs.h"
#include "widgets/ImageControl.h"
#include "widgets/OpenPictureDialog.h"

namespace duvo {

namespace {

constexpr int kSpeedBarHeight = 32;
constexpr int kStatusLineHeight = 23;

// The directory search of the open command: the name as the folder lists it
// and the size as a 32-bit signed number.
TSearchRec FindFile(const std::string& fileName) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path path(fileName);
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) throw EFOpenError(Format(msg::FOpen, {fileName}));
    TSearchRec rec;
    rec.Name = path.filename().string();
    rec.Size = static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
    return rec;
}

// A file label is as large as its text; an empty one takes no room, so that,
// opaque as it is, it covers nothing.
void FitToText(QLabel* label) {
    label->adjustSize();
    if (label->text().isEmpty()) label->resize(0, label->height());
}

QAction* AddItem(QMenu* menu, const char* name, const QString& caption, const QString& hint) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    action->setStatusTip(hint);
    return action;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), OpenDialog(std::make_unique<TOpenPictureDialog>()) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("DUVO"));
    setFont(SansSerif(14));
    setWindowIcon(ApplicationIcon());
    BuildMenu();
    BuildPanes();
    BuildSpeedBar();

    StatusLine = new QStatusBar(this);
    StatusLine->setObjectName(QStringLiteral("StatusLine"));
    StatusLine->setFixedHeight(kStatusLineHeight);
    StatusLine->setFont(QFont());
    setStatusBar(StatusLine);

    SetOuterGeometry(this, x(), y(), 528, 464);
    FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildMenu() {
    MainMenu = menuBar();
    MainMenu->setObjectName(QStringLiteral("MainMenu"));
    MainMenu->setNativeMenuBar(false);
    // Menus keep the system's font, not the window's design font.
    MainMenu->setFont(QFont());

    FileMenu = MainMenu->addMenu(QStringLiteral("&Plik"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));
    FileOpenItem =
        AddItem(FileMenu, "FileOpenItem", QStringLiteral("&Otwórz..."), QStringLiteral("Open an existing file"));
    FileOpenItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    N1 = FileMenu->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    FileExitItem =
        AddItem(FileMenu, "FileExitItem", QStringLiteral("&Koniec"), QStringLiteral("Exit this application"));
    FileExitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));

    PorownajMenu = MainMenu->addMenu(QStringLiteral("P&orównaj"));
    PorownajMenu->setObjectName(QStringLiteral("PorownajMenu"));
    Porownaj = AddItem(PorownajMenu, "Porownaj", QStringLiteral("&Porównaj"), QString());
    Wyniki = AddItem(PorownajMenu, "Wyniki", QStringLiteral("P&okaz wyniki w sposób ..."), QString());

    HelpMenu = MainMenu->addMenu(QStringLiteral("&Pomoc"));
    HelpMenu->setObjectName(QStringLiteral("HelpMenu"));
    HelpAboutItem = AddItem(HelpMenu, "HelpAboutItem", QStringLiteral("&O programie..."),
                            QStringLiteral("Show program information"));

    // Shortcuts work while the menus are closed, as accelerators do, and from
    // every other window of the program that does not use the key itself;
    // a modal window blocks them, as it blocks the main window.
    for (QAction* action : {FileOpenItem, FileExitItem}) {
        action->setShortcutContext(Qt::ApplicationShortcut);
        addAction(action);
    }

    connect(FileOpenItem, &QAction::triggered, this, [this] { RunCommand([this] { FileOpen(); }); });
    connect(FileExitItem, &QAction::triggered, this, [this] { RunCommand([this] { FileExit(); }); });
    connect(Porownaj, &QAction::triggered, this, [this] { RunCommand([this] { PorownajClick(); }); });
    connect(Wyniki, &QAction::triggered, this, [this] { RunCommand([this] { WynikiClick(); }); });
    connect(HelpAboutItem, &QAction::triggered, this, [this] { RunCommand([this] { HelpAbout(); }); });
}

void TMainForm::BuildPanes() {
    // The client area scrolls when panes and labels reach beyond it; the tool
    // bar stays on top of it, as an aligned panel does.
    ClientScroll = new QScrollArea(this);
    ClientScroll->setObjectName(QStringLiteral("ClientScroll"));
    ClientScroll->setFrameStyle(QFrame::NoFrame);
    ClientScroll->setWidgetResizable(false);
    ClientScroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetBackground(ClientScroll->viewport(), Background::Window);
    setCentralWidget(ClientScroll);

    ClientArea = new QWidget;
    ClientArea->setObjectName(QStringLiteral("ClientArea"));
    SetBackground(ClientArea, Background::Window);

    auto header = [this](const char* name, const QString& caption, int left) {
        auto* panel = new QLabel(caption, ClientArea);
        panel->setObjectName(QString::fromLatin1(name));
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
        panel->setLineWidth(1);
        panel->setAlignment(Qt::AlignCenter);
        SetBackground(panel, Background::ButtonFace);
        panel->setGeometry(left, 32, 199, 20);
        return panel;
    };
    Panel = header("Panel", QStringLiteral("Strona Lewa"), 0);
    Panel2 = header("Panel2", QStringLiteral("Strona Prawa"), 210);

    auto image = [this](const char* name, int left, int top, int width, int height) {
        auto* control = new TImageControl(ClientArea);
        control->setObjectName(QString::fromLatin1(name));
        control->SetBounds(left, top, width, height);
        return control;
    };
    Image1 = image("Image1", 2, 51, 199, 225);
    Image2 = image("Image2", 206, 51, 200, 225);
    ImageTemp = image("ImageTemp", 13, 64, 173, 65);
    ImageTemp->hide();

    auto label = [this](const char* name, int left, int top) {
        auto* text = new QLabel(ClientArea);
        text->setObjectName(QString::fromLatin1(name));
        // Opaque on the form's color: where the labels overlap, or one lies
        // over the other pane's picture, the one in front stays readable.
        SetBackground(text, Background::Window);
        text->move(left, top);
        FitToText(text);
        return text;
    };
    Label1 = label("Label1", 40, 280);
    Label2 = label("Label2", 240, 280);

    ClientScroll->setWidget(ClientArea);
    ClientScroll->viewport()->installEventFilter(this);
}

void TMainForm::BuildSpeedBar() {
    SpeedBar = new QFrame(ClientScroll);
    SpeedBar->setObjectName(QStringLiteral("SpeedBar"));
    SpeedBar->setFrameStyle(QFrame::Panel | QFrame::Raised);
    SpeedBar->setLineWidth(1);
    SetBackground(SpeedBar, Background::ButtonFace);
    SpeedBar->setGeometry(0, 0, ClientScroll->width(), kSpeedBarHeight);

    auto button = [this](const char* name, int left, int width, const char* glyph, const QString& hint) {
        auto* b = new QToolButton(SpeedBar);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoRaise(false);
        b->setFocusPolicy(Qt::NoFocus);
        const QIcon icon = GlyphIcon(glyph);
        b->setIcon(icon);
        if (!icon.availableSizes().isEmpty()) b->setIconSize(icon.availableSizes().first());
        b->setToolTip(hint);
        b->setStatusTip(hint);
        b->setGeometry(left, 4, width, 25);
        return b;
    };
    SpeedButton1 = button("SpeedButton1", 8, 25, "open.bmp", QStringLiteral("Otwórz"));
    SpeedButton2 = button("SpeedButton2", 48, 23, "compare.bmp", QStringLiteral("Porównaj"));
    SpeedButton6 = button("SpeedButton6", 86, 24, "about.bmp", QStringLiteral("O programie..."));
    SpeedButton5 = button("SpeedButton5", 130, 25, "exit.bmp", QStringLiteral("Koniec"));

    connect(SpeedButton1, &QToolButton::clicked, this, [this] { RunCommand([this] { FileOpen(); }); });
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { RunCommand([this] { SpeedButton2Click(); }); });
    connect(SpeedButton6, &QToolButton::clicked, this, [this] { RunCommand([this] { HelpContents(); }); });
    connect(SpeedButton5, &QToolButton::clicked, this, [this] { RunCommand([this] { FileExit(); }); });
    SpeedBar->raise();
}

void TMainForm::FormCreate() { MoveFrame(this, 50, 50); }

void TMainForm::ShowHint(const QString& hint) { StatusLine->showMessage(hint); }

bool TMainForm::event(QEvent* event) {
    // The application's hint, from the highlighted menu item or the control
    // under the mouse, empty for those without one.
    if (event->type() == QEvent::StatusTip) {
        ShowHint(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::event(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ClientScroll->viewport() && event->type() == QEvent::Resize)
        SpeedBar->setGeometry(0, 0, ClientScroll->viewport()->width(), kSpeedBarHeight);
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // The main window's end is the program's end, whatever else is open.
    event->accept();
    QCoreApplication::exit(0);
}

void TMainForm::FormResize() { Resize(); }

void TMainForm::Resize() {
    const TPicture& left = Image1->Picture();
    if (!left.Empty()) {
        Image1->SetHeight(left.Height() + 20);
        Image1->SetWidth(left.Width());
        Panel->resize(Image1->Width(), Panel->height());
        Image1->SetLeft(0);
        Panel->move(Image1->Left(), Panel->y());
        Label1->move(0, Label1->y());
        Label1->move(Label1->x(), Image1->Height() + 35);
    } else {
        Image1->SetHeight(300);
        Panel->resize(300, Panel->height());
        Panel->move(0, Panel->y());
        Label1->move(0, Label1->y());
        Label1->move(Label1->x(), Image1->Height());
    }

    const TPicture& right = Image2->Picture();
    if (!right.Empty()) {
        Image2->SetHeight(right.Height() + 20);
        Image2->SetWidth(right.Width());
        Panel2->resize(Image2->Width(), Panel2->height());
        Image2->SetLeft(Panel->x() + Panel->width() + 1);
        Panel2->move(Image2->Left(), Panel2->y());
        Label2->move(Image2->Left(), Label2->y());
        Label2->move(Label2->x(), Image2->Height() + 35);
    } else {
        Image2->SetHeight(300);
        Panel2->resize(300, Panel2->height());
        Panel2->move(Panel->x() + Panel->width() + 1, Panel2->y());
        Label2->move(0, Label2->y());
        Label2->move(Label2->x(), Image2->Height());
    }
    UpdateScrollExtent();
}

void TMainForm::UpdateScrollExtent() {
    // The scroll range reaches the farthest right and bottom edges of the
    // visible controls; the hidden scratch pane does not count.
    const QRect extent = ClientArea->childrenRect();
    ClientArea->resize(std::max(0, extent.x() + extent.width()), std::max(0, extent.y() + extent.height()));
}

void TMainForm::SetFileLabel(QLabel* label, const TSearchRec& rec) {
    label->setText(QString::fromStdString(rec.Name) + QLatin1Char(':') + QString::number(rec.Size));
    FitToText(label);
}

void TMainForm::FileOpen() {
    const std::optional<QString> chosen = Dialogs::Current().OpenFileName(*OpenDialog);
    if (!chosen) return;
    const std::string fileName = chosen->toStdString();

    switch (LoadIntoPicture(fileName, ImageTemp->Picture())) {
        case LoadOutcome::UnknownFormat:
            ShowMessage(QStringLiteral("Nieznany format pliku graficznego !!!"), QStringLiteral("Bląd !"));
            return;
        case LoadOutcome::LoadError:
        case LoadOutcome::Loaded:
            break;
    }
    if (ImageTemp->Picture().Empty()) {
        ShowMessage(QStringLiteral("Bląd przy wczytywaniu pliku graficznego !!!"), QStringLiteral("Bląd!"));
        return;
    }

    // The same picture again (typically one file into both panes) keeps one
    // pixel store instead of two equal ones.
    ShareIdenticalStore(ImageTemp->Picture(), {&Image1->Picture(), &Image2->Picture()});

    SearchRec = FindFile(fileName);
    if (Dialogs::Current().ExecModal(*Forms.PanelForm) != QDialog::Accepted) return;

    if (Forms.PanelForm->ItemIndex() == 0) {
        Image1->Picture().CopyFrom(&ImageTemp->Picture());
        SetFileLabel(Label1, SearchRec);
    } else {
        Image2->Picture().CopyFrom(&ImageTemp->Picture());
        SetFileLabel(Label2, SearchRec);
    }
    Resize();
}

void TMainForm::FileExit() { close(); }

void TMainForm::WynikiClick() { Dialogs::Current().ExecModal(*Forms.CheckForm); }

void TMainForm::HelpAbout() { Dialogs::Current().ExecModal(*Forms.AboutForm); }

void TMainForm::HelpContents() { HelpAbout(); }

void TMainForm::SpeedButton2Click() { PorownajClick(); }

void TMainForm::PorownajClick() {
    if (Image1->Picture().Empty() || Image2->Picture().Empty()) {
        ShowMessage(QStringLiteral("Nie ma obrazów w obu panelach !!!"), QStringLiteral("Bląd !"));
        return;
    }
    const int w1 = Image1->Picture().Width(), h1 = Image1->Picture().Height();
    const int w2 = Image2->Picture().Width(), h2 = Image2->Picture().Height();
    if (w1 != w2 || h1 != h2) {
        if (ShowMessage(QStringLiteral("Obrazy mają różne wielkosci! Porównywac?"), QStringLiteral("Ostrzeżenie !"),
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
    }
    const int w = std::min(w1, w2);
    const int h = std::min(h1, h2);

    // A pane's surface is its bitmap's; another kind of graphic fails here
    // with the surface's own message.
    const TBitmap& left = *Image1->Surface().Bitmap();
    const TBitmap& right = *Image2->Surface().Bitmap();

    TProgressForm* progress = Forms.ProgressForm;
    TImageControl* wynikImage = Forms.WynikForm->WynikImage;
    ShowForm(progress);
    progress->PaintNow();

    CompareResult result;
    try {
        wynikImage->SetWidth(w);
        wynikImage->SetHeight(h);
        Histogram.fill(0.0L);
        CompareOptions options;
        options.step = [progress] { progress->StepIt(); };
        TBitmap difference;
        result = CountSimilarity(left, right, difference, options);
        wynikImage->Picture().SetGraphic(&difference);
    } catch (...) {
        progress->hide();
        throw;
    }
    progress->hide();

    Histogram = Normalise(result.counts, result.pixelCount);

    if (Forms.CheckForm->Graficznie) {
        ShowForm(Forms.WynikForm);
        ShowForm(Forms.Form1);
    }
    if (Forms.CheckForm->Procentowo) {
        PiszWyniki();
        ShowForm(Forms.ProcentForm);
    }
}

void TMainForm::PiszWyniki() {
    const std::string separator = DecimalSymbol().toStdString();
    const auto texts = RangeTexts(Histogram, separator);
    const auto fields = Forms.ProcentForm->Fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        fields[i]->setText(QString::fromStdString(texts[i]));
        // A long figure shows from its first character, not scrolled to its end.
        fields[i]->setCursorPosition(0);
    }
}

}  // namespace duvo
