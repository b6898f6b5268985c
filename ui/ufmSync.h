// File > Sync Folder...: the folder pair and the direction, then a preview of what the sync would
// do, file by file, which the user may change (files left out, a conflict's winner, deletes
// allowed) before it runs. The dialog only shows and collects: the window plans and runs the
// sync (TfmMain::SyncPreview, RunSync) through the shared workflow.
#pragma once

#include "workflows/DeviceSync.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

class TfmSync : public QDialog {
  public:
    explicit TfmSync(QWidget* parent = nullptr);

    // The pairs synced before with the device, offered in "Used before" (the latest first).
    void OfferPairs(const std::vector<kv::SyncPair>& Pairs);
    // The fields as the user left them.
    std::filesystem::path PcFolder() const;
    std::string DeviceFolder() const; // 8-bit, without a trailing "/"; "" is the root
    bool Up() const;
    bool DeletesAllowed() const;
    bool KeepInStep() const;
    void SetPair(const QString& PcFolder, const std::string& DeviceFolder, bool Up);

    // Shows Plan's items; choices made on an earlier preview are kept for the same paths.
    void ShowPlan(const kv::TDeviceSync& Plan);
    // Nothing to show: the fields changed, or the plan failed.
    void ClearPlan(const QString& Why = {});
    // Carries the user's choices into Plan (the one last shown): rows left unticked are left
    // out, each conflict goes to the side chosen for it.
    void ApplyChoices(kv::TDeviceSync& Plan) const;
    // The row of a path as ShowPlan shows it ("Lua/main.lua"; a directory with its "/"), or none.
    QTreeWidgetItem* RowOf(const QString& Shown) const;
    // A conflict's choice on its row: its combo box.
    QComboBox* WinnerOf(QTreeWidgetItem* Row) const;

    // Asks the window for a preview of the fields as they stand.
    std::function<void()> OnPreview;

    QComboBox* cbPairs;
    QLineEdit* edPcFolder;
    QPushButton* btnBrowse;
    QLineEdit* edDeviceFolder;
    QRadioButton* rbUp;
    QRadioButton* rbDown;
    QCheckBox* cbDeletes;
    QCheckBox* cbKeep;
    QPushButton* btnPreview;
    QTreeWidget* lvPreview;
    QLabel* lblSummary;
    QPushButton* btnSync;
    QPushButton* btnClose;

  private:
    void Tick(QTreeWidgetItem* Row, int Column);
    void FieldsChanged();
    std::vector<kv::SyncPair> pairs_;
    // What the user chose on the rows shown, by path, kept over a new preview.
    std::map<std::string, bool> ticked_;
    std::map<std::string, int> winners_;
    bool filling_ = false;
};
