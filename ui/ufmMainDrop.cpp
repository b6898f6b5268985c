// Uploads of PC files dropped on the window, and firmware loading from the action and from drops.
#include "UiHooks.h"
#include "ufmMain.h"
#include "workflows/PcFiles.h"

#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <algorithm>

namespace {

// The local files of a drop from the desktop, when it may be taken as a copy or a link. The
// window's own rows dragged back onto it are not (asking for their data would download them).
bool AcceptableDrop(QDropEvent* event) {
    if (event->source()) return false;
    if (!event->mimeData()->hasUrls()) return false;
    if (!(event->possibleActions() & (Qt::CopyAction | Qt::LinkAction))) return false;
    for (const QUrl& url : event->mimeData()->urls())
        if (!url.isLocalFile()) return false;
    return true;
}

void AcceptAsCopyOrLink(QDropEvent* event) {
    event->setDropAction(event->possibleActions() & Qt::CopyAction ? Qt::CopyAction
                                                                   : Qt::LinkAction);
    event->accept();
}

QStringList DroppedFiles(QDropEvent* event) {
    QStringList files;
    // A folder may come with a trailing "/" (as some programs send it): its name is the last
    // one of the path all the same.
    for (const QUrl& url : event->mimeData()->urls())
        files.append(QDir::cleanPath(url.toLocalFile()));
    return files;
}

// Why a drop stopped, as a program message: the error names the file and the reason.
std::string StopLine(const std::exception& Error) {
    return "\r\nThe upload stopped: " + ToDevice(QString::fromUtf8(Error.what())) + "\r\n";
}

// The device folders the files went to, as the summary names them: "/Lua and /".
std::string UploadFolders(const std::string& Base, const QStringList& Files, bool Proper) {
    std::vector<std::string> folders;
    for (const QString& file : Files) {
        const std::string name = ToDevice(QFileInfo(file).fileName());
        const std::string place = Proper ? TfmMain::ProperPlace(Base, file) : std::string();
        std::string folder = kv::DeviceParentOf(place.empty() ? Base + name : place);
        if (folder.empty()) folder = "/";
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    std::string text;
    for (size_t i = 0; i < folders.size(); ++i)
        text += (i == 0 ? "" : i + 1 == folders.size() ? " and " : ", ") + folders[i];
    return text;
}

} // namespace

// ---- the drop targets ----

namespace {

// Both drop targets: PC files as a copy or a link, never a move.
void DragOver(QDropEvent* event) {
    if (AcceptableDrop(event))
        AcceptAsCopyOrLink(event);
    else
        event->ignore();
}

void DropOn(TfmMain* window, QDropEvent* event) {
    if (!window || !AcceptableDrop(event)) {
        event->ignore();
        return;
    }
    AcceptAsCopyOrLink(event);
    window->DropFrom(event);
}

} // namespace

void TFileList::dragEnterEvent(QDragEnterEvent* event) {
    DragOver(event);
}
void TFileList::dragMoveEvent(QDragMoveEvent* event) {
    DragOver(event);
}
void TFileList::dropEvent(QDropEvent* event) {
    DropOn(MainWindowOf(this), event);
}

TInfoMemo::TInfoMemo(QWidget* parent) : QPlainTextEdit(parent) {}
void TInfoMemo::dragEnterEvent(QDragEnterEvent* event) {
    DragOver(event);
}
void TInfoMemo::dragMoveEvent(QDragMoveEvent* event) {
    DragOver(event);
}
void TInfoMemo::dropEvent(QDropEvent* event) {
    DropOn(MainWindowOf(this), event);
}

void TfmMain::DropFrom(QDropEvent* event) {
    // The drop is taken here and answered at once; its question and its work come after the drop
    // event has returned, so the drag source is released and a question box takes its clicks.
    const QStringList files = DroppedFiles(event);
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    QMetaObject::invokeMethod(
        this,
        [this, files, ctrl] {
            // An error that escapes the drop handler ends the drop with a line that says why.
            try {
                dftFilesDrop(files, ctrl);
            } catch (const std::exception& error) {
                TermFail(StopLine(error));
            }
        },
        Qt::QueuedConnection);
}

// ---- drags out of the list ----

namespace {

// The data of a drag out of the file list: PC file URLs, made when the drop target first asks.
class TDeviceFilesMime : public QMimeData {
  public:
    explicit TDeviceFilesMime(std::function<QList<QUrl>()> fetch) : fetch_(std::move(fetch)) {}
    QStringList formats() const override { return {"text/uri-list"}; }
    bool hasFormat(const QString& format) const override { return format == "text/uri-list"; }

  protected:
    QVariant retrieveData(const QString& format, QMetaType) const override {
        if (format != "text/uri-list") return {};
        if (!fetched_) {
            fetched_ = true;
            urls_ = fetch_();
        }
        QVariantList list;
        for (const QUrl& url : urls_)
            list.append(url);
        return list;
    }

  private:
    std::function<QList<QUrl>()> fetch_;
    mutable bool fetched_ = false;
    mutable QList<QUrl> urls_;
};

} // namespace

void TFileList::startDrag(Qt::DropActions) {
    if (TfmMain* owner = MainWindowOf(this)) owner->Guarded([owner] { owner->DragRowsOut(); });
}

void TfmMain::DragRowsOut() {
    if (Activity->Running() || !lvFiles->isEnabled()) return;
    std::vector<kv::DeviceDirEntry> files;
    std::vector<std::string> dirs;
    SelectedEntries(files, dirs);
    if (files.empty() && dirs.empty()) return;
    const std::string folder = CurrentDir;
    auto* drag = new QDrag(lvFiles);
    drag->setMimeData(new TDeviceFilesMime(
        [this, files, dirs, folder] { return FetchForDrag(files, dirs, folder); }));
    drag->setPixmap(FileListImage(files.empty() ? 0 : 1).pixmap(16, 16));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

QList<QUrl> TfmMain::FetchForDrag(const std::vector<kv::DeviceDirEntry>& Files,
                                  const std::vector<std::string>& Dirs, const std::string& Folder) {
    if (Activity->Running()) return {};
    if (!DragStage) DragStage = std::make_unique<QTemporaryDir>();
    if (!DragStage->isValid()) {
        ReportError("No folder for the dragged files: " + DragStage->errorString());
        return {};
    }
    // A folder of its own for each drag: a drop target may still be copying an earlier one.
    const QString stage = DragStage->filePath(QString::number(++DragCount));
    QDir().mkpath(stage);
    SaveEntries(stage, Folder, Files, Dirs, "for the drop");
    // A cancelled drag gives the drop target nothing, not a part of what was asked for.
    if (Work->State.Cancelled) return {};
    QList<QUrl> urls;
    const auto add = [&](const std::string& name) {
        // A name that would leave the stage was not saved (Save to PC refuses it): never handed
        // on either.
        if (!kv::SafePcName(name)) return;
        const QString path =
            QString::fromStdU16String((PcPathOf(stage) / kv::PcNameOf(name)).u16string());
        if (QFileInfo::exists(path)) urls.append(QUrl::fromLocalFile(path));
    };
    for (const auto& entry : Files)
        add(entry.Name);
    for (const auto& dir : Dirs)
        add(dir);
    return urls;
}

// ---- upload ----

std::string TfmMain::ProperPlace(const std::string& Base, const QString& PcPath) {
    return kv::TUploads::ProperPlace(Base, ToDevice(QFileInfo(PcPath).fileName()));
}

bool TfmMain::UploadFile(const QString& PcPath, bool Proper) {
    return Work->Uploads.UploadFile(PcPathOf(PcPath), CurrentDir + "/", Proper);
}

void TfmMain::dftFilesDrop(QStringList Files, bool CtrlHeld, bool Dropped) {
    const kv::TDeviceHold hold(*Comms);
    TDeviceOperation op(*Activity, true);
    try {
        const std::string base = CurrentDir + "/";
        bool proper = false;
        const qsizetype dropped = Files.size();
        LoadDroppedFirmware(Files);
        // After firmware the device restarts into its application: the uploads wait for it.
        if (Files.size() != dropped && !Files.isEmpty() && Work->Firmware.RunAfterFirmware)
            Work->Firmware.WaitForApplication();
        if (lvFiles->isEnabled()) {
            if (!CtrlHeld) {
                for (const QString& file : Files)
                    if (!ProperPlace(base, file).empty()) {
                        proper = true;
                        break;
                    }
                if (proper) {
                    const auto answer = UiHooks().Question(
                        this,
                        Dropped ? "Do you want files put in their proper place?\r\n(Hold CTRL "
                                  "down to override this)"
                                : "Do you want files put in their proper place?",
                        "Confirmation", QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
                    if (answer == QMessageBox::No) proper = false;
                    if (answer != QMessageBox::Yes && answer != QMessageBox::No) Files.clear();
                }
            }
            if (!Files.isEmpty())
                TermPrint("\r\nUploading " + std::to_string(Files.size()) +
                              (Files.size() == 1 ? " file...\r\n" : " files...\r\n"),
                          fsItalic);
            // A folder goes as a tree into the shown directory; its files are counted as the
            // walk finds them.
            uint64_t bytes = 0;
            int files = 0;
            bool trees = false;
            for (const QString& file : Files) {
                const QFileInfo info(file);
                if (info.isDir()) {
                    trees = true;
                    continue;
                }
                ++files;
                bytes += static_cast<uint64_t>(std::max<qint64>(0, info.size()));
            }
            BeginTransfer(files, bytes, !trees);
            bool stopped = false;
            for (const QString& file : Files) {
                if (!Terminal->IsConnected() || Work->State.StopHere()) break;
                try {
                    if (QFileInfo(file).isDir())
                        Work->Uploads.UploadTree(PcPathOf(file),
                                                 base + kv::DeviceNameOf(PcPathOf(file)));
                    else
                        UploadFile(file, proper);
                } catch (const std::exception& error) {
                    // A file that cannot be read ends the drop there, with a line naming it.
                    TermFail(StopLine(error));
                    stopped = true;
                    break;
                }
            }
            Work->State.Tally.AllKnown();
            // The device's listing shows whether each file is there, whole.
            Work->Verbs.ConfirmUploads();
            if (!stopped) TermPrint("\r\ndone.\r\n", fsItalic);
            if (!Files.isEmpty())
                EndTransfer("Uploaded", "to " + UploadFolders(base, Files, proper));
        }
    } catch (...) {
        HideTransfer();
        ShowDirectory(CurrentDir);
        throw;
    }
    HideTransfer();
    ShowDirectory(CurrentDir);
}

void TfmMain::actUploadExecute() {
    const QStringList files = UiHooks().OpenFiles(this, "Upload Files");
    if (files.isEmpty()) return;
    // The chosen files go exactly as dropped ones do.
    dftFilesDrop(files, false, false);
}

// ---- firmware ----

void TfmMain::actFirmwareExecute() {
    const QString path = UiHooks().OpenFile(this, "Firmware (*.blf);;All files (*.*)");
    if (path.isEmpty()) {
        reTerm->setFocus();
        return;
    }
    const std::string content = kv::ReadPcFile(PcPathOf(path));
    {
        TDeviceOperation op(*Activity);
        if (content.empty()) // said, as kvb flash says it
            TermFail("Firmware not loaded: " + ToDevice(QFileInfo(path).fileName()) +
                     ": the file is empty; nothing to load");
        if (!content.empty()) {
            // Only the image goes: what the boot loader prints after it reaches the pane as
            // console text. Whether it was taken is said here.
            std::string said;
            const kv::VerbResult result = Work->Firmware.SendImage(
                ToDevice(QFileInfo(path).fileName().toLower()), content, said);
            if (result.Ok())
                TermPrint("\r\n" + result.Path + ": taken by the boot loader\r\n", fsRegular);
            else
                TermFail("\r\n" + kv::TFirmwareLoad::NotTaken(result) + "\r\n");
            if (!result.Ok() && Terminal->IsConnected() && !Terminal->IsBootLoader())
                TermPrint("The device is not in its boot loader, which alone takes firmware. Drop "
                          "the .blf file on this window: the device is restarted into its boot "
                          "loader, the file loaded and the device started again. Or type boot in "
                          "the terminal, then choose Load Firmware.\r\n",
                          fsRegular);
        }
    }
    reTerm->setFocus();
}

bool TfmMain::LoadDroppedFirmware(QStringList& Files) {
    std::vector<std::filesystem::path> paths;
    for (const QString& file : Files)
        paths.push_back(PcPathOf(file));
    const bool result = Work->Firmware.LoadDroppedFirmware(paths);
    Files.clear();
    for (const auto& path : paths)
        Files.append(QString::fromStdU16String(path.u16string()));
    return result;
}

bool TfmMain::EnterBootLoader() {
    return Work->Firmware.EnterBootLoader();
}

bool TfmMain::UploadBlfFile(const QString& FileName) {
    TDeviceOperation op(*Activity);
    return Work->Firmware.UploadBlfFile(PcPathOf(FileName)).Ok();
}
