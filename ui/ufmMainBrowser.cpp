// The device file browser: one device directory in the list, navigation by double-click, Enter
// and the path field.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "ufmMain.h"

#include <QApplication>
#include <QLineEdit>

namespace {

class TFileItem : public QTreeWidgetItem {
  public:
    bool operator<(const QTreeWidgetItem& other) const override {
        return CaptionLess(text(0), other.text(0));
    }
};

constexpr int kRawLineRole = Qt::UserRole;

} // namespace

QString TfmMain::EntryDateText(const std::optional<kv::DateTime>& Stamp) {
    if (!Stamp) return {};
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", Stamp->Year, Stamp->Month, Stamp->Day,
                             Stamp->Hour, Stamp->Minute, Stamp->Second);
}

std::string TfmMain::ParentDir(const std::string& Path) {
    // Scan back from the last character while past the first one and not at a "/".
    size_t i = Path.size();
    while (i > 1 && Path[i - 1] != '/')
        --i;
    return i >= 1 ? Path.substr(0, i - 1) : std::string();
}

bool TfmMain::ItemIsDir(int Index) const {
    const QTreeWidgetItem* item = lvFiles->topLevelItem(Index);
    return item && item->text(2).contains("<DIR>");
}

QString TfmMain::Caption(int Index) const {
    const QTreeWidgetItem* item = lvFiles->topLevelItem(Index);
    return item ? item->text(0) : QString();
}

std::string TfmMain::RawLine(int Index) const {
    const QTreeWidgetItem* item = lvFiles->topLevelItem(Index);
    if (!item) return {};
    const QByteArray line = item->data(0, kRawLineRole).toByteArray();
    return std::string(line.constData(), static_cast<size_t>(line.size()));
}

int TfmMain::CurrentRow() const {
    for (int i = 0; i < lvFiles->topLevelItemCount(); ++i)
        if (lvFiles->topLevelItem(i)->isSelected()) return i;
    return -1;
}

QList<int> TfmMain::SelectedRows() const {
    QList<int> rows;
    for (int i = 0; i < lvFiles->topLevelItemCount(); ++i)
        if (lvFiles->topLevelItem(i)->isSelected()) rows.append(i);
    return rows;
}

void TfmMain::ShowDirectory(std::string Path) {
    TDeviceOperation op(*Activity);
    if (!Terminal->IsReady()) return;
    if (!lvFiles->isEnabled()) return;
    std::vector<std::string> lines;
    if (Path.rfind("//", 0) == 0) Path.erase(0, 1);
    lvFiles->setUpdatesEnabled(false);
    lvFiles->setSortingEnabled(false);
    lvFiles->clear();
    struct Restore {
        QTreeWidget* list;
        ~Restore() {
            list->sortItems(0, Qt::AscendingOrder);
            list->setUpdatesEnabled(true);
        }
    } restore{lvFiles};

    Files->ListDirectory(Path, lines);
    edDir->setText(FromDevice(Path));
    QList<QTreeWidgetItem*> items;
    try {
        for (const auto& line : lines) {
            const kv::DeviceDirEntry entry = kv::TkvbFiles::ParseDirEntry(line);
            if (entry.Name == ".") continue;
            const std::string attr = kv::TkvbFiles::AttrToStr(entry.Attr);
            const bool dir = attr.find("<DIR>") != std::string::npos;
            auto* item = new TFileItem;
            item->setText(0, FromDevice(entry.Name));
            item->setText(1, dir ? QString() : QString::number(entry.Size));
            item->setText(2, FromDevice(attr));
            item->setText(3, EntryDateText(entry.Created));
            item->setData(0, kRawLineRole,
                          QByteArray(line.data(), static_cast<qsizetype>(line.size())));
            item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            item->setTextAlignment(2, Qt::AlignCenter);
            QString lower = FromDevice(entry.Name);
            for (auto& c : lower)
                if (c >= u'A' && c <= u'Z') c = QChar(c.unicode() + 32);
            int image = 1;
            if (entry.Name == "..")
                image = 3;
            else if (dir)
                image = 0;
            else if (lower.contains(".lua"))
                image = 2;
            item->setIcon(0, FileListImage(image));
            items.append(item);
        }
    } catch (...) {
        lvFiles->addTopLevelItems(items);
        throw;
    }
    lvFiles->addTopLevelItems(items);
}

void TfmMain::lvFilesDblClick() {
    const int row = CurrentRow();
    if (row < 0) return;
    const std::string caption = ToDevice(Caption(row));
    if (!ItemIsDir(row)) {
        actEditExecute();
        return;
    }
    if (caption == ".") return;
    if (caption == "..")
        CurrentDir = ParentDir(CurrentDir);
    else
        CurrentDir = CurrentDir + "/" + caption;
    ShowDirectory(CurrentDir);
}

void TfmMain::lvFilesKeyPress(char& Key) {
    if (Key == '\r') {
        lvFilesDblClick();
        Key = 0;
    }
}

void TfmMain::edDirChange() {
    CurrentDir = ToDevice(edDir->text());
}

void TfmMain::edDirKeyPress(char& Key) {
    if (Key != '\r') return;
    ShowDirectory(CurrentDir);
    lvFiles->setFocus();
}

void TfmMain::actRefreshExecute() {
    ShowDirectory(CurrentDir);
}
