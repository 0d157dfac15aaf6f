#include "widgets/OpenPictureDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QItemSelectionModel>
#include <QLocale>
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

// The file list's columns: name, size, type, date.
enum Column { kName, kSize, kType, kDate };

// The file list in Polish whatever the user's locale: the toolkit writes
// sizes and dates by the system's locale. File types follow the program's
// default locale, which LoadPolishToolkitTexts makes Polish.
class PolishFileColumns : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DisplayRole && (index.column() == kSize || index.column() == kDate))
            if (const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel())) {
                const QModelIndex source = mapToSource(index);
                if (index.column() == kDate) return polish_.toString(files->lastModified(source), QLocale::ShortFormat);
                // Folders have no size.
                if (files->isDir(source)) return QString();
                return polish_.formattedDataSize(files->size(source));
            }
        return QIdentityProxyModel::data(index, role);
    }

private:
    const QLocale polish_{QLocale::Polish, QLocale::Poland};
};

// The patterns of a filter as Qt names it, "Description (*.a *.b)"; with
// the details hidden the dialog may name it by its description alone.
QStringList FilterPatterns(const QString& filter, const QStringList& filters) {
    QString full = filter;
    for (const QString& f : filters)
        if (f.startsWith(filter + QStringLiteral(" ("))) full = f;
    const qsizetype open = full.lastIndexOf(QLatin1Char('('));
    const qsizetype close = full.lastIndexOf(QLatin1Char(')'));
    if (open < 0 || close < open) return {QStringLiteral("*")};
    return full.mid(open + 1, close - open - 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Whether the list shows the file: in its folder and through its filter.
bool Listed(const QFileDialog& window, const QString& path) {
    const QFileInfo file(path);
    return file.isFile() && file.absoluteDir() == window.directory() &&
           QDir::match(FilterPatterns(window.selectedNameFilter(), window.nameFilters()), file.fileName());
}

// The preview follows the file list's selection: a picture that is no
// longer selected (deselected, hidden by another filter, left behind in
// another folder) is not shown any more. With mayClear off only a newly
// selected file is shown: the list is still being filled.
void FollowSelection(const QFileDialog& window, TPicturePreview& preview, bool mayClear) {
    const QAbstractItemView* list = window.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!list || !list->selectionModel()) return;
    for (const QModelIndex& row : list->selectionModel()->selectedRows(kName)) {
        const QString path = row.data(QFileSystemModel::FilePathRole).toString();
        if (Listed(window, path)) {
            preview.ShowFile(path);
            return;
        }
    }
    if (mayClear || (!preview.ShownFile().isEmpty() && !Listed(window, preview.ShownFile()))) preview.Clear();
}

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
    shown_.clear();
    PictureLabel->setText(QStringLiteral("Picture:"));
    ImageCtrl->clear();
}

void TPicturePreview::ShowFile(const QString& fileName) {
    if (!QFileInfo(fileName).isFile()) {
        Clear();
        return;
    }
    if (fileName == shown_ && !picture_.isNull()) return;
    shown_.clear();
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
        shown_ = fileName;
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
    window->setProxyModel(new PolishFileColumns(window.get()));
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
    const QFileDialog* dialog = window.get();
    if (auto* list = window->findChild<QTreeView*>(QStringLiteral("treeView")); list && list->selectionModel()) {
        QObject::connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, preview,
                         [dialog, preview] { FollowSelection(*dialog, *preview, true); });
        // A file the list hid and shows again comes back selected, silently.
        auto settled = [dialog, preview] { FollowSelection(*dialog, *preview, false); };
        QAbstractItemModel* files = list->model();
        QObject::connect(files, &QAbstractItemModel::layoutChanged, preview, settled, Qt::QueuedConnection);
        QObject::connect(files, &QAbstractItemModel::rowsInserted, preview, settled, Qt::QueuedConnection);
    }
    // The list drops a file from its selection without a word when another
    // filter hides it; entering another folder clears the selection, and
    // the selection's handler above clears the preview.
    QObject::connect(window.get(), &QFileDialog::filterSelected, preview, [dialog, preview] {
        if (!preview->ShownFile().isEmpty() && !Listed(*dialog, preview->ShownFile())) preview->Clear();
    });
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
