// The device file browser: one device directory in the list, navigation by double-click, Enter
// and the path field.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "ufmMain.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>

namespace {

constexpr int kEntryRole = Qt::UserRole;
constexpr int kIsDirRole = Qt::UserRole + 1;

// A row of the file list. Until a column header is clicked the rows go by name alone, as listed
// folders and files mixed; by a chosen column, folders come first; ".." is always on top.
class TFileItem : public QTreeWidgetItem {
  public:
    bool operator<(const QTreeWidgetItem& other) const override {
        const auto* list = static_cast<const TFileList*>(treeWidget());
        const int column = list ? list->SortColumn : -1;
        // The list shows b before a for a descending order when a < b: the groups and the
        // tie-break by name are turned round for it, so that they stay as they are on screen.
        const bool down = column >= 0 && list->SortOrder == Qt::DescendingOrder;
        const int mine = Group(column), theirs = static_cast<const TFileItem&>(other).Group(column);
        if (mine != theirs) return down ? mine > theirs : mine < theirs;
        const std::string name = ToDevice(text(0)), otherName = ToDevice(other.text(0));
        const auto byName = [&] {
            return down ? kv::CaptionLess(otherName, name) : kv::CaptionLess(name, otherName);
        };
        switch (column) {
        case 1: {
            const int64_t size = Listed().Size, otherSize = Listed(other).Size;
            if (size != otherSize) return size < otherSize;
            return byName();
        }
        case 2:
        case 3:
            if (text(column) != other.text(column)) return text(column) < other.text(column);
            return byName();
        default:
            return kv::CaptionLess(name, otherName);
        }
    }

  private:
    // 0 "..", 1 a folder, 2 a file; folders and files are one group until a column is chosen.
    int Group(int column) const {
        if (text(0) == "..") return 0;
        if (column < 0) return 2;
        return data(0, kIsDirRole).toBool() ? 1 : 2;
    }
    static kv::DeviceDirEntry Listed(const QTreeWidgetItem& item) {
        return item.data(0, kEntryRole).value<kv::DeviceDirEntry>();
    }
    kv::DeviceDirEntry Listed() const { return Listed(*this); }
};

} // namespace

QString TfmMain::EntryDateText(const std::optional<kv::DateTime>& Stamp) {
    if (!Stamp) return {};
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", Stamp->Year, Stamp->Month, Stamp->Day,
                             Stamp->Hour, Stamp->Minute, Stamp->Second);
}

std::string TfmMain::ParentDir(const std::string& Path) {
    return kv::DeviceParentOf(Path);
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
    const bool wasUp = Terminal->IsConnected();
    if (!Terminal->IsReady()) return;
    if (!lvFiles->isEnabled()) return;
    if (Path.rfind("//", 0) == 0) Path.erase(0, 1);

    std::vector<kv::DeviceDirEntry> entries;
    const auto show = [&] {
        lvFiles->setUpdatesEnabled(false);
        lvFiles->clear();
        struct Restore {
            TFileList* list;
            ~Restore() {
                if (list->SortColumn >= 0)
                    list->sortItems(list->SortColumn, list->SortOrder);
                else
                    list->sortItems(0, Qt::AscendingOrder);
                list->setUpdatesEnabled(true);
            }
        } restore{lvFiles};
        edDir->setText(FromDevice(Path));
        ShownDir = Path;
        QList<QTreeWidgetItem*> items;
        for (const auto& entry : entries) {
            const bool dir = kv::IsDirectory(entry);
            auto* item = new TFileItem;
            item->setText(0, FromDevice(entry.Name));
            item->setText(1, dir ? QString() : QString::number(entry.Size));
            item->setText(2, FromDevice(kv::TkvbFiles::AttrToStr(entry.Attr)));
            item->setText(3, EntryDateText(entry.Created));
            item->setToolTip(0, item->text(0));
            item->setToolTip(3, item->text(3));
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
    kv::VerbResult result;
    try {
        result = Work->Verbs.List(Path, entries);
    } catch (...) {
        show(); // what was parsed before the malformed line
        throw;
    }
    const std::string where = (Path.empty() ? std::string("/") : kv::VisibleText(Path)) + ": ";
    // A link that was down already, or a boot loader (it lists nothing), is no news: the list
    // is left empty without a word, as the supervision shows it.
    if (result.Ok() || !wasUp || Terminal->IsBootLoader()) {
        show();
        return;
    }
    switch (result.What) {
    case kv::Outcome::NotWhole:
    case kv::Outcome::DeviceGone:
        // What arrived is shown, and the pane says that it is not all.
        show();
        TermFail(result.Message() +
                 (entries.empty() ? std::string() : "; the list shows what arrived") +
                 (result.What == kv::Outcome::DeviceGone
                      ? "; the folder is listed again when the device is back"
                      : ""));
        return;
    case kv::Outcome::NoSuchFile:
        TermFail("\r\n" + where + "there is no such folder on the device\r\n");
        break;
    default:
        TermFail("\r\n" + result.Message() + "\r\n");
        break;
    }
    // Not a folder that can be listed: the window stays where it was. When that was this very
    // folder (it went since), its parent is shown instead.
    if (Path == ShownDir && !Path.empty()) {
        ShowDirectory(ParentDir(Path));
        return;
    }
    edDir->setText(FromDevice(ShownDir));
}

void TfmMain::SortBy(int Column) {
    if (lvFiles->SortColumn == Column)
        lvFiles->SortOrder =
            lvFiles->SortOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    else
        lvFiles->SortOrder = Qt::AscendingOrder;
    lvFiles->SortColumn = Column;
    lvFiles->header()->setSortIndicatorShown(true);
    lvFiles->header()->setSortIndicator(Column, lvFiles->SortOrder);
    lvFiles->sortItems(Column, lvFiles->SortOrder);
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
