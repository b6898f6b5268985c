// TfmMain: the program's main window. It owns the device link, shows the device console, the
// device information, the device's file list and the transfer progress, and runs every command.
#pragma once

#include "DeviceActivity.h"
#include "RichEditUtils.h"
#include "files/kvbFiles.h"
#include "ufmMainWidgets.h"
#include "ui_ufmMain.h"
#include "workflows/ConsoleText.h"
#include "workflows/DeviceSyncWatch.h"
#include "workflows/DeviceWork.h"

#include <QMainWindow>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class QAction;
class QActionGroup;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTimer;
class TfmMain;
class TfmSync;

// A PC path of the window as the shared workflows take it.
std::filesystem::path PcPathOf(const QString& Path);

// Image of the file list: 0 folder, 1 document, 2 script document, 3 folder with upward arrow.
QIcon FileListImage(int index);

// Ascending by caption, letters without regard to case first, then lower case before upper case.

class TfmMain : public QMainWindow, public Ui::TfmMain {
  public:
    explicit TfmMain(QWidget* parent = nullptr);
    ~TfmMain() override;

    // ---- link objects and fields ----
    std::unique_ptr<kv::TkvComms> Comms;
    std::unique_ptr<kv::TkvTerminal> Terminal;
    std::unique_ptr<kv::TkvbFiles> Files;
    // The shared workflows, reporting to this window: messages to the terminal pane, questions
    // in message boxes, the Save to PC count in lblCount.
    std::unique_ptr<kv::IWorkHost> WorkHost;
    std::unique_ptr<kv::TDeviceWork> Work;
    QString SaveDir;
    // Where drags out of the list are staged: private to the user, removed when the window goes.
    std::unique_ptr<QTemporaryDir> DragStage;
    int DragCount = 0;
    std::string CurrentDir;
    uint32_t NextPaintTick = 0;
    bool PasswordEcho = false;
    kv::TConsolePrompt ConsolePrompt; // where the console output stands: in a prompt or not
    bool ToldNoAccess = false;        // the no-permission notice has been shown
    bool ToldNoDevice = false;        // the no-device notice has been shown
    bool FoundDevice = false;         // a device was opened since the start
    uint64_t ToldLost = 0;            // input reports dropped by the link that the pane has told of
    // The chosen device (Comms->Chosen) whose absence has been said, or that has been found: a
    // chosen device that is briefly gone is waited for without a word.
    std::string ToldChosen;
    // The held device (Comms->Held) that the pane has said it waits for.
    std::string ToldHeld;
    // The window during device work: events delivered in the link's waits, input held off,
    // Cancel.
    TDeviceActivity* Activity = nullptr;

    // ---- components (the form, ufmMain.ui, makes the rest) ----
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QMenu* puFiles = nullptr;
    QMenu* puFilesSpace = nullptr; // on empty space of the list: what needs no selection
    QMenu* puTerm = nullptr;
    QActionGroup* agDevice = nullptr; // the Device menu's entries, one of them checked
    // Device > Start Firmware: "run" to a device in its boot loader, which it leaves for its
    // firmware; enabled only there.
    QAction* actStartFirmware = nullptr;
    void actStartFirmwareExecute();
    bool BootLoaderSaid = false; // the way out of the boot loader was said since it was entered

    // ---- start-up and progress ----
    void FilesProgress(kv::TkvbFiles* Sender, int32_t Position, int32_t Total);
    void FilesProgressEnd(kv::TkvbFiles* Sender);
    // A transfer of Files files and Bytes bytes begins (Complete: every file is known), and one
    // ends: its summary, Verb and Where as the tally words them, as a program message.
    void BeginTransfer(int Files, uint64_t Bytes, bool Complete);
    void EndTransfer(const std::string& Verb, const std::string& Where);
    void ShowTransfer();
    // The transfer is over (or was abandoned): the tally stops and its label is cleared.
    void HideTransfer();
    // What the progress label adds once Cancel was asked for, and showing it at once.
    QString CancelNote() const;
    void ShowCancelAsked();
    void Exit1Click();

    // ---- terminal pane ----
    void TermOutput(const std::string& Data);
    void TermAppend(const QString& Text, const QColor& Color, TFontStyles Style);
    void TermScrollEnd();
    void TermPrint(const std::string& Text, TFontStyles Style);
    // A line (8-bit) that says something was not done: set apart from the other messages.
    void TermFail(const std::string& Text);
    void reTermKeyPress(char& Key);
    void actTermClearExecute();
    // Ctrl+C for the device: 0x03 on its console (the window's Ctrl+C copies).
    void actSendBreakExecute();
    void actTermCopyExecute();
    void actTermAllExecute();
    void actPasteExecute();

    // ---- file browser ----
    void ShowDirectory(std::string Path);
    bool ItemIsDir(int Index) const;
    static std::string ParentDir(const std::string& Path);
    static QString EntryDateText(const std::optional<kv::DateTime>& Stamp);
    void lvFilesDblClick();
    // To the parent of the shown directory, with the directory we came from selected.
    void GoToParent();
    // F6: the focus to the next of the three areas (terminal, path field, file list).
    void NextArea(bool Backwards);
    void lvFilesKeyPress(char& Key);
    void edDirChange();
    void edDirKeyPress(char& Key);
    void actRefreshExecute();
    // A click on a column header: sorted by that column, or the other way round when it was
    // already; folders first and ".." on top.
    void SortBy(int Column);
    // The directory the list shows (the path last listed).
    std::string ShownDir;
    // The rows' captions and the listed entry kept with a row.
    QString Caption(int Index) const;
    kv::DeviceDirEntry Entry(int Index) const;

    // ---- connection supervision ----
    void Timer1Timer();
    void Timer2Timer();
    void ShowDeviceInfo();
    void SetBrowserEnabled(bool Enabled);
    // The Device menu, filled afresh each time it opens: "Any device", then each attached device
    // by serial number, product and version, the chosen one checked.
    void mnDeviceShow();
    // From now on the window connects to the device Choice names (its serial number or interface
    // path; empty: any device). A link to another device is closed.
    void ChooseDevice(const std::string& Choice);

    // ---- file operations ----
    // A verb's failure as a program message in the terminal pane; true when it was done.
    bool ShowResult(const kv::VerbResult& Result);
    void actDeleteExecute();
    void actSaveExecute();
    void actEditExecute();
    void actRenameExecute();
    void actMkDirExecute();
    void actMakeFileExecute();
    bool SaveToPcFile(const QString& PcPath, const std::string& Content,
                      const std::optional<kv::DateTime>& Stamp);
    void SaveDirectoryToPc(const QString& PcFolder, const std::string& DeviceFolder,
                           const std::string& DirName);
    // The selected rows but "..": the files, and the directories (their trees), in list order.
    void SelectedEntries(std::vector<kv::DeviceDirEntry>& Files,
                         std::vector<std::string>& Dirs) const;
    // Save to PC of Files and the trees Dirs of DeviceFolder into PcFolder, with the count, the
    // transfer line and the summary ("Saved ... " + Where).
    void SaveEntries(const QString& PcFolder, const std::string& DeviceFolder,
                     const std::vector<kv::DeviceDirEntry>& Files,
                     const std::vector<std::string>& Dirs, const std::string& Where);
    void ShowFileCount(int Count);
    void HideFileCount();

    // ---- drops and firmware ----
    // Dropped is false for files chosen in a dialog, where no key can be held down.
    void dftFilesDrop(QStringList Files, bool CtrlHeld, bool Dropped = true);
    void actFirmwareExecute();
    // File > Upload Files...: PC files chosen in a dialog, uploaded as a drop of them would be.
    void actUploadExecute();
    bool LoadDroppedFirmware(QStringList& Files);
    bool EnterBootLoader();
    bool UploadBlfFile(const QString& FileName);
    bool UploadFile(const QString& PcPath, bool Proper);
    // The device path a dropped file belongs in, or empty when it has no proper place.
    static std::string ProperPlace(const std::string& Base, const QString& PcPath);
    // A drop delivered to one of the two drop targets.
    void DropFrom(QDropEvent* event);
    // The selected rows dragged out of the list: a drag whose data, asked for by the drop target
    // (a file manager, the desktop), is the rows downloaded as PC files into a staging folder of
    // the program, through the safe writes of Save to PC, with the device's stamps.
    void DragRowsOut();
    // The download for a drag: the staged files and folders as URLs; none when it was cancelled.
    QList<QUrl> FetchForDrag(const std::vector<kv::DeviceDirEntry>& Files,
                             const std::vector<std::string>& Dirs, const std::string& Folder);

    // ---- sync and keeping in step ----
    // File > Sync Folder...: the pair and direction, the preview, then the sync.
    void actSyncExecute();
    // The dialog made ready for the device: the pairs synced before with it offered, the PC
    // folder of the latest, the device folder the one shown.
    void PrepareSync();
    // The preview of the dialog's fields, planned through the shared workflow and shown in it.
    void SyncPreview();
    // The previewed plan, with the user's choices, carried out with the transfer line and Cancel;
    // one line in the terminal pane says what it did. Keeps in step afterwards when asked to.
    void RunSync();
    // KeptInStep the PC folder in step with the device folder (as kvb sync up --watch does): each
    // saved file sent while the window stays usable. WholeFirst: a whole pass first.
    void StartKeepInStep(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                         bool WholeFirst);
    void StopKeepInStep();
    // One turn of it, from its timer: the changes taken, and a pass when something settled and
    // neither other work nor the device's absence holds it off.
    void KeepInStepTick();
    // The status area's line: what it follows, how many files went, when the last did, and
    // why it waits.
    void ShowKeepInStep(const QString& Paused = {});
    TfmSync* fmSync = nullptr;
    std::unique_ptr<kv::TDeviceSync> SyncPlan; // the previewed plan
    std::string SyncSerial;                    // the device it was planned with
    // While keeping in step: the sync, its folder watch and its passes, the device they keep to.
    struct TKeepInStep {
        std::filesystem::path PcFolder;
        std::string DeviceFolder, Serial;
        std::unique_ptr<kv::IFolderWatch> Watch;
        std::unique_ptr<kv::TDeviceSync> Sync;
        std::unique_ptr<kv::TSyncWatch> Passes;
        QString LastSent;    // the time of day the last file went
        bool InPass = false; // a pass runs: a tick delivered in its waits leaves it alone
    };
    std::unique_ptr<TKeepInStep> KeptInStep;
    // The watch that a sync asked to keep in step began before it ran, so no save is missed.
    std::unique_ptr<kv::IFolderWatch> WatchBeforeRun;
    QTimer* KeepTimer = nullptr;
    QLabel* lblKeep = nullptr;
    // Set while a sync runs: the workflows' per-file upload lines are left out of the pane.
    bool QuietUploads = false;

    // Runs a command handler; an error it raises is shown by the application's error report.
    void Guarded(const std::function<void()>& Handler);
    // The error report: a message box with the error's text.
    void ReportError(const QString& Text);
    // One bold line in the console for each conflict a sync left alone, with why.
    void PrintConflicts(const kv::TDeviceSync& Sync);

    // A letter typed in the menu bar's keyboard mode; true when it ran an item without a menu.
    bool MenuBarLetter(QKeyEvent* Key);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // The handlers of the form's actions, what of the layout depends on the fonts, and the
    // popup menus and the Device menu's entries.
    void ConnectActions();
    void FinishLayout();
    void BuildMenus();
    void FormCreate();
    int CurrentRow() const;
    QList<int> SelectedRows() const;

    friend class TFileList;
};

extern TfmMain* fmMain;

Q_DECLARE_METATYPE(kv::DeviceDirEntry)
