#include "ufmSync.h"

#include "Fonts.h"
#include "ScreenPlacement.h"
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "workflows/PcFiles.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

using kv::SyncAction, kv::SyncReason;

// The row's roles: the item's index in the plan, and what the user may do with it.
constexpr int kIndexRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;
enum RowKind { kFixed, kTickable, kConflict };

QString Shown(const kv::SyncItem& Item) {
    return QString::fromStdString(Item.Shown) + (Item.Directory ? "/" : "");
}

QString FolderShown(const std::string& DeviceFolder) {
    return DeviceFolder.empty() ? QString("/") : FromDevice(DeviceFolder);
}

// What happens to an item, in the preview's words.
QString WhatOf(const kv::SyncItem& Item, bool Up) {
    if (Item.Decision.Reason == SyncReason::Conflict) return "conflict";
    switch (Item.Decision.Action) {
    case SyncAction::Send:
        return Item.Directory ? "make folder" : (Up ? "send" : "fetch");
    case SyncAction::Delete:
        return "delete";
    case SyncAction::Skip:
        break;
    }
    switch (Item.Decision.Reason) {
    case SyncReason::Unchanged:
        return "unchanged";
    case SyncReason::Ignored:
        return "ignored";
    case SyncReason::Extra:
        return "kept";
    default:
        return "skipped";
    }
}

// Why, in the user's words; an error the plan gave comes after it.
QString WhyOf(const kv::SyncItem& Item, bool Up, bool DeletesAllowed) {
    const QString target = Up ? "the device" : "the PC";
    QString why;
    switch (Item.Decision.Reason) {
    case SyncReason::New:
        why = "not on " + target + " yet";
        break;
    case SyncReason::Changed:
        why = QString::fromStdString(kv::ChangeText(Item.Decision.Change, Up));
        break;
    case SyncReason::Unchanged:
        why = "the same on both sides";
        break;
    case SyncReason::Conflict:
        why = Item.Decision.Action == SyncAction::Delete || !Item.Error.empty()
                  ? QString()
                  : QString::fromStdString(kv::ChangeText(Item.Decision.Change, Up));
        break;
    case SyncReason::Ignored:
        why = "matched by the ignore patterns (.kvbignore)";
        break;
    case SyncReason::Extra:
        why = "only on " + target +
              (DeletesAllowed || Item.Decision.Action == SyncAction::Delete
                   ? QString()
                   : QString(": deletes are not allowed"));
        break;
    case SyncReason::UnsafeName:
        why = "a name " + (Up ? QString("the device") : QString("the PC")) + " cannot hold";
        break;
    case SyncReason::Link:
        why = "a link to a folder: not followed";
        break;
    }
    if (!Item.Error.empty()) {
        const QString error = FromDevice(Item.Error);
        why = why.isEmpty() ? error : why + " (" + error + ")";
    }
    return why;
}

} // namespace

TfmSync::TfmSync(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Sync Folder");
    setFont(WindowFont(font()));
    auto* grid = new QGridLayout;
    const auto Buddy = [this](const QString& text, QWidget* field) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        return label;
    };
    cbPairs = new QComboBox(this);
    cbPairs->setObjectName("cbPairs");
    cbPairs->setToolTip("Folder pairs synced before with this device");
    grid->addWidget(Buddy("&Used before:", cbPairs), 0, 0);
    grid->addWidget(cbPairs, 0, 1, 1, 2);
    edPcFolder = new QLineEdit(this);
    edPcFolder->setObjectName("edPcFolder");
    btnBrowse = new QPushButton("&Browse...", this);
    grid->addWidget(Buddy("PC &folder:", edPcFolder), 1, 0);
    grid->addWidget(edPcFolder, 1, 1);
    grid->addWidget(btnBrowse, 1, 2);
    edDeviceFolder = new QLineEdit("/", this);
    edDeviceFolder->setObjectName("edDeviceFolder");
    edDeviceFolder->setFont(FixedFont(13));
    grid->addWidget(Buddy("De&vice folder:", edDeviceFolder), 2, 0);
    grid->addWidget(edDeviceFolder, 2, 1, 1, 2);
    rbUp = new QRadioButton("PC &to device", this);
    rbDown = new QRadioButton("Device to P&C", this);
    rbUp->setChecked(true);
    auto* direction = new QHBoxLayout;
    direction->addWidget(rbUp);
    direction->addWidget(rbDown);
    direction->addStretch(1);
    grid->addWidget(new QLabel("Direction:", this), 3, 0);
    grid->addLayout(direction, 3, 1, 1, 2);
    cbDeletes = new QCheckBox("Allow &deletes (what is only at the target goes)", this);
    cbDeletes->setObjectName("cbDeletes");
    cbKeep = new QCheckBox("&Keep in step while I edit: send each saved file", this);
    cbKeep->setObjectName("cbKeep");
    grid->addWidget(cbDeletes, 4, 1, 1, 2);
    grid->addWidget(cbKeep, 5, 1, 1, 2);
    grid->setColumnStretch(1, 1);

    btnPreview = new QPushButton("&Preview", this);
    btnPreview->setDefault(true);
    lvPreview = new QTreeWidget(this);
    lvPreview->setObjectName("lvPreview");
    lvPreview->setColumnCount(3);
    lvPreview->setHeaderLabels({"What", "File", "Why"});
    lvPreview->setRootIsDecorated(false);
    lvPreview->setUniformRowHeights(true);
    lvPreview->setColumnWidth(0, 170);
    lvPreview->setColumnWidth(1, 260);
    lvPreview->header()->setStretchLastSection(true);
    lblSummary = new QLabel(this);
    lblSummary->setObjectName("lblSummary");
    lblSummary->setWordWrap(true);
    btnSync = new QPushButton("&Sync", this);
    btnSync->setEnabled(false);
    btnClose = new QPushButton("Close", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(lblSummary, 1);
    buttons->addWidget(btnSync);
    buttons->addWidget(btnClose);
    auto* previewRow = new QHBoxLayout;
    previewRow->addStretch(1);
    previewRow->addWidget(btnPreview);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(previewRow);
    layout->addWidget(lvPreview, 1);
    layout->addLayout(buttons);

    connect(btnBrowse, &QPushButton::clicked, this, [this] {
        QString folder = edPcFolder->text();
        if (UiHooks().BrowseForFolder(this, "PC Folder to Sync", folder))
            edPcFolder->setText(QDir::toNativeSeparators(folder));
    });
    connect(cbPairs, &QComboBox::activated, this, [this](int index) {
        if (index <= 0 || index > static_cast<int>(pairs_.size())) return;
        const kv::SyncPair& pair = pairs_[static_cast<size_t>(index - 1)];
        SetPair(QString::fromStdU16String(pair.PcFolder.u16string()), pair.DeviceFolder, Up());
    });
    connect(btnPreview, &QPushButton::clicked, this, [this] {
        if (OnPreview) OnPreview();
    });
    // Deletes allowed or not makes another plan: shown at once when there is one.
    connect(cbDeletes, &QCheckBox::toggled, this, [this] {
        if (btnSync->isEnabled() && OnPreview) OnPreview();
    });
    // Keeping in step sends PC files: it goes with PC to device alone.
    connect(rbUp, &QRadioButton::toggled, this, [this](bool up) {
        cbKeep->setEnabled(up);
        if (!up) cbKeep->setChecked(false);
        FieldsChanged();
    });
    connect(edPcFolder, &QLineEdit::textEdited, this, [this] { FieldsChanged(); });
    connect(edDeviceFolder, &QLineEdit::textEdited, this, [this] { FieldsChanged(); });
    connect(lvPreview, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* row, int column) { Tick(row, column); });
    connect(btnSync, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
    resize(760, 540);
    KeepOnScreenWithFrame(this);
}

void TfmSync::OfferPairs(const std::vector<kv::SyncPair>& Pairs) {
    pairs_ = Pairs;
    cbPairs->clear();
    cbPairs->addItem(Pairs.empty() ? "(none yet with this device)" : "(choose a pair)");
    for (const auto& pair : Pairs)
        cbPairs->addItem(
            QDir::toNativeSeparators(QString::fromStdU16String(pair.PcFolder.u16string())) +
            "  \u21c4  " + FolderShown(pair.DeviceFolder));
    cbPairs->setEnabled(!Pairs.empty());
}

std::filesystem::path TfmSync::PcFolder() const {
    return std::filesystem::path(edPcFolder->text().trimmed().toStdU16String());
}

std::string TfmSync::DeviceFolder() const {
    std::string folder = ToDevice(edDeviceFolder->text().trimmed());
    if (folder.empty() || folder[0] != '/') folder = "/" + folder;
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder;
}

bool TfmSync::Up() const {
    return rbUp->isChecked();
}

bool TfmSync::DeletesAllowed() const {
    return cbDeletes->isChecked();
}

bool TfmSync::KeepInStep() const {
    return cbKeep->isChecked() && Up();
}

void TfmSync::SetPair(const QString& PcFolder, const std::string& DeviceFolder, bool Up) {
    edPcFolder->setText(QDir::toNativeSeparators(PcFolder));
    edDeviceFolder->setText(FolderShown(DeviceFolder));
    (Up ? rbUp : rbDown)->setChecked(true);
    FieldsChanged();
}

void TfmSync::FieldsChanged() {
    // A preview of other folders would run as if it were this one's.
    ticked_.clear();
    winners_.clear();
    ClearPlan();
}

void TfmSync::ClearPlan(const QString& Why) {
    lvPreview->clear();
    lblSummary->setText(Why);
    btnSync->setEnabled(false);
}

void TfmSync::ShowPlan(const kv::TDeviceSync& Plan) {
    filling_ = true;
    // The choices of the rows now shown, kept for the next plan of the same folders.
    for (int i = 0; i < lvPreview->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvPreview->topLevelItem(i);
        const std::string path = ToDevice(row->text(1));
        if (row->data(0, kKindRole).toInt() == kTickable)
            ticked_[path] = row->checkState(0) == Qt::Checked;
        else if (QComboBox* winner = WinnerOf(row))
            winners_[path] = winner->currentIndex();
    }
    lvPreview->clear();
    int send = 0, remove = 0, conflicts = 0, unchanged = 0, ignored = 0, kept = 0;
    const bool up = Plan.Up();
    for (size_t i = 0; i < Plan.Items.size(); ++i) {
        const kv::SyncItem& item = Plan.Items[i];
        auto* row = new QTreeWidgetItem(lvPreview);
        row->setText(0, WhatOf(item, up));
        row->setText(1, Shown(item));
        row->setText(2, WhyOf(item, up, DeletesAllowed()));
        for (int column = 0; column < 3; ++column)
            row->setToolTip(column, row->text(column)); // whole, where a column is too narrow
        row->setData(0, kIndexRole, static_cast<int>(i));
        const std::string path = ToDevice(row->text(1));
        const auto action = item.Decision.Action;
        const bool settleable =
            item.Decision.Reason == SyncReason::Conflict && item.Error.empty() && !item.Directory;
        if (settleable) {
            ++conflicts;
            row->setData(0, kKindRole, kConflict);
            auto* winner = new QComboBox(lvPreview);
            winner->addItems(
                {"conflict: keep both", "conflict: PC's wins", "conflict: device's wins"});
            const auto chosen = winners_.find(path);
            if (chosen != winners_.end()) winner->setCurrentIndex(chosen->second);
            lvPreview->setItemWidget(row, 0, winner);
            for (int c = 0; c < 3; ++c)
                row->setBackground(c, QColor(0xff, 0xec, 0xc8));
        } else if (action == SyncAction::Send || action == SyncAction::Delete) {
            row->setData(0, kKindRole, kTickable);
            const auto chosen = ticked_.find(path);
            row->setCheckState(0, chosen == ticked_.end() || chosen->second ? Qt::Checked
                                                                            : Qt::Unchecked);
            if (!item.Directory) ++(action == SyncAction::Send ? send : remove);
            if (action == SyncAction::Delete)
                for (int c = 0; c < 3; ++c)
                    row->setForeground(c, QColor(0xb0, 0, 0));
        } else {
            row->setData(0, kKindRole, kFixed);
            if (item.Decision.Reason == SyncReason::Conflict) ++conflicts;
            for (int c = 0; c < 3; ++c)
                row->setForeground(c, QColor(0x80, 0x80, 0x80));
            if (item.Decision.Reason == SyncReason::Unchanged)
                ++unchanged;
            else if (item.Decision.Reason == SyncReason::Ignored)
                ++ignored;
            else
                ++kept;
        }
    }
    QStringList parts;
    parts << QString("%1 to %2").arg(send).arg(up ? "send" : "fetch");
    if (remove || DeletesAllowed()) parts << QString("%1 to delete").arg(remove);
    parts << QString("%1 conflict%2").arg(conflicts).arg(conflicts == 1 ? "" : "s");
    parts << QString("%1 unchanged").arg(unchanged) << QString("%1 ignored").arg(ignored);
    if (kept) parts << QString("%1 kept").arg(kept);
    lblSummary->setText(parts.join(", "));
    btnSync->setEnabled(true);
    filling_ = false;
}

QTreeWidgetItem* TfmSync::RowOf(const QString& Shown) const {
    for (int i = 0; i < lvPreview->topLevelItemCount(); ++i)
        if (lvPreview->topLevelItem(i)->text(1) == Shown) return lvPreview->topLevelItem(i);
    return nullptr;
}

QComboBox* TfmSync::WinnerOf(QTreeWidgetItem* Row) const {
    return qobject_cast<QComboBox*>(lvPreview->itemWidget(Row, 0));
}

void TfmSync::Tick(QTreeWidgetItem* Row, int Column) {
    if (filling_ || Column != 0 || Row->data(0, kKindRole).toInt() != kTickable) return;
    filling_ = true;
    const QString path = Row->text(1);
    const bool on = Row->checkState(0) == Qt::Checked;
    for (int i = 0; i < lvPreview->topLevelItemCount(); ++i) {
        QTreeWidgetItem* other = lvPreview->topLevelItem(i);
        if (other == Row || other->data(0, kKindRole).toInt() != kTickable) continue;
        const QString name = other->text(1);
        // A folder left out leaves out what is in it; a file ticked takes its folders along.
        const bool below = path.endsWith('/') && name.startsWith(path);
        const bool above = name.endsWith('/') && path.startsWith(name);
        if ((!on && below) || (on && above))
            other->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
    filling_ = false;
}

void TfmSync::ApplyChoices(kv::TDeviceSync& Plan) const {
    for (int i = 0; i < lvPreview->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvPreview->topLevelItem(i);
        const int index = row->data(0, kIndexRole).toInt();
        if (index < 0 || index >= static_cast<int>(Plan.Items.size())) continue;
        kv::SyncItem& item = Plan.Items[static_cast<size_t>(index)];
        const int kind = row->data(0, kKindRole).toInt();
        if (kind == kTickable && row->checkState(0) != Qt::Checked) Plan.Leave(item);
        if (kind != kConflict) continue;
        const int winner = WinnerOf(row) ? WinnerOf(row)->currentIndex() : 0;
        Plan.ResolveConflict(item, winner == 1   ? kv::SyncWinner::Pc
                                   : winner == 2 ? kv::SyncWinner::Device
                                                 : kv::SyncWinner::None);
    }
}
