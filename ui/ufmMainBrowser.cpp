// The device file browser: one device directory in the list, navigation by double-click, Enter
// and the path field.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "ufmMain.h"

#include <QApplication>
#include <QLineEdit>

namespace {

class TFileItem : public QTreeWidgetItem {
  public:
    bool operator<(const QTreeWidgetItem& other) const override {
        return kv::CaptionLess(ToDevice(text(0)), ToDevice(other.text(0)));
    }
};

constexpr int kEntryRole = Qt::UserRole;
constexpr int kIsDirRole = Qt::UserRole + 1;

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
    return item && item->data(0, kIsDirRole).toBool();
}

QString TfmMain::Caption(int Index) const {
    const QTreeWidgetItem* item = lvFiles->topLevelItem(Index);
    return item ? item->text(0) : QString();
}

kv::DeviceDirEntry TfmMain::Entry(int Index) const {
    const QTreeWidgetItem* item = lvFiles->topLevelItem(Index);
    return item ? item->data(0, kEntryRole).value<kv::DeviceDirEntry>() : kv::DeviceDirEntry{};
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

    std::vector<kv::DeviceDirEntry> entries;
    QList<QTreeWidgetItem*> items;
    const auto fill = [&] {
        for (const auto& entry : entries) {
            const bool dir = kv::IsDirectory(entry);
            auto* item = new TFileItem;
            item->setText(0, FromDevice(entry.Name));
            item->setText(1, dir ? QString() : QString::number(entry.Size));
            item->setText(2, FromDevice(kv::TkvbFiles::AttrToStr(entry.Attr)));
            item->setText(3, EntryDateText(entry.Created));
            item->setData(0, kIsDirRole, dir);
            item->setData(0, kEntryRole, QVariant::fromValue(entry));
            item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            item->setTextAlignment(2, Qt::AlignCenter);
            int image = 1;
            if (entry.Name == "..")
                image = 3;
            else if (dir)
                image = 0;
            else if (kv::AsciiLower(entry.Name).find(".lua") != std::string::npos)
                image = 2;
            item->setIcon(0, FileListImage(image));
            items.append(item);
        }
        lvFiles->addTopLevelItems(items);
    };
    try {
        // A directory that is not there shows as an empty list, and a link that went down shows
        // as the greyed list of the supervision, as they always have.
        Work->List(Path, entries);
        edDir->setText(FromDevice(Path));
    } catch (...) {
        edDir->setText(FromDevice(Path));
        fill();
        throw;
    }
    fill();
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
    if (caption == "..") {
        GoToParent();
        return;
    }
    CurrentDir = CurrentDir + "/" + caption;
    ShowDirectory(CurrentDir);
}

void TfmMain::GoToParent() {
    if (CurrentDir.empty() || !lvFiles->isEnabled()) return;
    const QString cameFrom = FromDevice(kv::DeviceLeafOf(CurrentDir));
    CurrentDir = ParentDir(CurrentDir);
    ShowDirectory(CurrentDir);
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = lvFiles->topLevelItem(row);
        if (item->text(0) != cameFrom) continue;
        lvFiles->setCurrentItem(item);
        lvFiles->scrollToItem(item);
        break;
    }
}

void TfmMain::NextArea(bool Backwards) {
    const QList<QWidget*> areas{reTerm, edDir, lvFiles};
    qsizetype at = 0;
    for (qsizetype i = 0; i < areas.size(); ++i)
        if (areas[i]->hasFocus() || areas[i]->isAncestorOf(QApplication::focusWidget())) at = i;
    const qsizetype next = (at + (Backwards ? areas.size() - 1 : 1)) % areas.size();
    areas[next]->setFocus(Qt::ShortcutFocusReason);
    if (areas[next] == edDir) edDir->selectAll();
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
    // A typed path as the device writes paths: one "/" between names and none at the end (the
    // root is the empty path), so that no path built from it shows "//".
    std::string dir;
    for (char c : CurrentDir)
        if (c != '/' || dir.empty() || dir.back() != '/') dir += c;
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    CurrentDir = dir;
    ShowDirectory(CurrentDir);
    lvFiles->setFocus();
}

void TfmMain::actRefreshExecute() {
    ShowDirectory(CurrentDir);
}
