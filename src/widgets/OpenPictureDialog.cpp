#include "widgets/OpenPictureDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "graphics/bitmap.h"
#include "widgets/ImageControl.h"

namespace duvo {

namespace {
constexpr int kPreviewSize = 150;
constexpr QSize kDialogSize(900, 480);
constexpr int kSideBarWidth = 130;
}  // namespace

QStringList NameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';')))
            if (!p.trimmed().isEmpty()) patterns << p.trimmed();
        out << QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(QLatin1Char(' ')));
    }
    return out;
}

TPicturePreview::TPicturePreview(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("PicturePreview"));
    auto* layout = new QVBoxLayout(this);
    PictureLabel = new QLabel(this);
    ImageCtrl = new QLabel(this);
    ImageCtrl->setFixedSize(kPreviewSize, kPreviewSize);
    ImageCtrl->setAlignment(Qt::AlignCenter);
    ImageCtrl->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    layout->addWidget(PictureLabel);
    layout->addWidget(ImageCtrl);
    layout->addStretch(1);
    Clear();
}

void TPicturePreview::Clear() {
    picture_ = QImage();
    PictureLabel->setText(QStringLiteral("Picture:"));
    ImageCtrl->clear();
}

void TPicturePreview::ShowFile(const QString& fileName) {
    if (!QFileInfo(fileName).isFile()) {
        Clear();
        return;
    }
    try {
        TPicture picture;
        picture.LoadFile(fileName.toStdString());
        TBitmap bitmap;
        if (picture.Graphic()) bitmap.CopyFrom(picture.Graphic());
        QImage image = ToQImage(bitmap);
        if (image.isNull()) {
            Clear();
            return;
        }
        picture_ = image;
        PictureLabel->setText(QStringLiteral(" (%1x%2)").arg(picture.Width()).arg(picture.Height()));
        const bool large = image.width() > kPreviewSize - 4 || image.height() > kPreviewSize - 4;
        if (large)
            image = image.scaled(kPreviewSize - 4, kPreviewSize - 4, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        ImageCtrl->setPixmap(QPixmap::fromImage(image));
    } catch (const std::exception&) {
        // The preview only informs; whatever the file holds, the dialog goes on.
        Clear();
    }
}

std::unique_ptr<QFileDialog> TOpenPictureDialog::MakeWindow() const {
    auto window = std::make_unique<QFileDialog>();
    window->setOption(QFileDialog::DontUseNativeDialog);
    window->setFileMode(QFileDialog::AnyFile);
    window->setAcceptMode(QFileDialog::AcceptOpen);
    window->setSizeGripEnabled(true);
    // The descriptions already name their patterns; Qt would add them again.
    window->setOption(QFileDialog::HideNameFilterDetails);
    // Room for the file list's columns and the side bar's names beside the preview.
    window->resize(kDialogSize);
    if (auto* list = window->findChild<QTreeView*>(QStringLiteral("treeView"))) {
        // Qt keeps narrow default columns whatever the dialog's width: size,
        // type and date take what their texts need, the name the rest.
        QHeaderView* header = list->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column)
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
    if (auto* split = window->findChild<QSplitter*>(QStringLiteral("splitter")))
        split->setSizes({kSideBarWidth, kDialogSize.width() - kSideBarWidth});
    const QStringList filters = NameFilters(Filter);
    window->setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) window->selectNameFilter(filters[FilterIndex - 1]);
    if (!FileName.isEmpty()) {
        const QFileInfo info(FileName);
        window->setDirectory(info.absolutePath());
        window->selectFile(info.fileName());
    }
    auto* preview = new TPicturePreview(window.get());
    if (auto* grid = qobject_cast<QGridLayout*>(window->layout()))
        grid->addWidget(preview, 1, grid->columnCount(), 1, 1);
    else
        window->layout()->addWidget(preview);
    QObject::connect(window.get(), &QFileDialog::currentChanged, preview, &TPicturePreview::ShowFile);
    // The file chosen last is selected again; show it before the user moves.
    if (!FileName.isEmpty()) preview->ShowFile(FileName);
    return window;
}

TPicturePreview* TOpenPictureDialog::Preview(const QFileDialog& window) {
    return window.findChild<TPicturePreview*>(QStringLiteral("PicturePreview"));
}

QString TOpenPictureDialog::TakeResult(const QFileDialog& window) {
    const QStringList files = window.selectedFiles();
    FileName = files.value(0);
    // With the details hidden the dialog names its filter by the description alone.
    const QString selected = window.selectedNameFilter();
    const QStringList filters = window.nameFilters();
    for (qsizetype i = 0; i < filters.size(); ++i)
        if (filters[i] == selected || filters[i].startsWith(selected + QStringLiteral(" ("))) {
            FilterIndex = static_cast<int>(i) + 1;
            break;
        }
    return FileName;
}

}  // namespace duvo
