// Uploads of PC files dropped on the window, and firmware loading from the action and from drops.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "device/Clock.h"
#include "ufmMain.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QPlainTextEdit>
#include <climits>

namespace {

bool Latin1Only(const QString& text) {
    for (QChar c : text)
        if (c.unicode() > 0xFF) return false;
    return true;
}

// Reads a PC file whole; raises the file-open error when it cannot.
std::string ReadPcFile(const QString& path) {
    const auto fail = [&](const QString& why) {
        throw kv::EKvError(
            ("Cannot open file \"" + path + "\". " + why).toLocal8Bit().toStdString());
    };
    const QFileInfo info(path);
    if (info.isDir()) fail("It is a folder.");
    // The device's length field is a signed 32-bit number; a larger file cannot be sent.
    if (info.size() > INT32_MAX)
        fail(QString("The file has %1 bytes; the device takes at most %2.")
                 .arg(info.size())
                 .arg(INT32_MAX));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) fail(file.errorString());
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// The local files of a drop from the desktop, when it may be taken as a copy or a link.
bool AcceptableDrop(QDropEvent* event) {
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
    for (const QUrl& url : event->mimeData()->urls())
        files.append(url.toLocalFile());
    return files;
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
    if (!AcceptableDrop(event)) {
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
    DropOn(owner_, event);
}

TInfoMemo::TInfoMemo(TfmMain* owner) : QPlainTextEdit(owner), owner_(owner) {}
void TInfoMemo::dragEnterEvent(QDragEnterEvent* event) {
    DragOver(event);
}
void TInfoMemo::dragMoveEvent(QDragMoveEvent* event) {
    DragOver(event);
}
void TInfoMemo::dropEvent(QDropEvent* event) {
    DropOn(owner_, event);
}

void TfmMain::DropFrom(QDropEvent* event) {
    // An error that escapes the drop handler ends the drop without a message.
    try {
        dftFilesDrop(DroppedFiles(event), event->modifiers() & Qt::ControlModifier);
    } catch (const std::exception&) {
    }
}

// ---- upload ----

std::string TfmMain::ProperPlace(const std::string& Base, const QString& PcPath) {
    const QString name = QFileInfo(PcPath).fileName();
    const QString lower = name.toLower();
    const QString base = FromDevice(Base).toLower();
    if (lower.endsWith(".lua") && !base.startsWith("/lua/")) return "/Lua/" + ToDevice(name);
    if (lower.endsWith("config.txt") && !base.startsWith("/config/"))
        return "/Config/" + ToDevice(name);
    return {};
}

bool TfmMain::UploadFile(const QString& PcPath, bool Proper) {
    const QString name = QFileInfo(PcPath).fileName();
    const std::string base = CurrentDir + "/";
    // The device takes 8-bit names: a name that has no 8-bit form cannot be sent as it is.
    if (!Latin1Only(name))
        throw kv::EKvError(("Cannot open file \"" + PcPath +
                            "\". Its name has characters the "
                            "device cannot store.")
                               .toLocal8Bit()
                               .toStdString());
    const std::string content = ReadPcFile(PcPath);
    std::string target = Proper ? ProperPlace(base, PcPath) : std::string();
    if (target.empty()) target = base + ToDevice(name);
    TermPrint(ToDevice(name), fsBold);
    TermPrint("\r\n " + std::to_string(content.size()) + " > " + target + "\r\n", fsItalic);
    Files->WriteFile(target, content);
    return true;
}

void TfmMain::dftFilesDrop(QStringList Files, bool CtrlHeld) {
    TBusyCursor busy;
    try {
        const std::string base = CurrentDir + "/";
        bool proper = false;
        LoadDroppedFirmware(Files);
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
                        "Do you want files put in their proper place?\r\n(Hold CTRL down to "
                        "override this)",
                        "Confirmation", QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
                    if (answer == QMessageBox::No) proper = false;
                    if (answer != QMessageBox::Yes && answer != QMessageBox::No) Files.clear();
                }
            }
            if (!Files.isEmpty())
                TermPrint("\r\nUploading " + std::to_string(Files.size()) + " files...\r\n",
                          fsItalic);
            for (const QString& file : Files) {
                if (!Terminal->IsConnected()) break;
                UploadFile(file, proper);
            }
            TermPrint("\r\ndone.\r\n", fsItalic);
        }
    } catch (...) {
        ShowDirectory(CurrentDir);
        throw;
    }
    ShowDirectory(CurrentDir);
}

// ---- firmware ----

void TfmMain::actFirmwareExecute() {
    const QString path = UiHooks().OpenFile(this, "Firmware (*.blf);;All files (*.*)");
    if (path.isEmpty()) {
        reTerm->setFocus();
        return;
    }
    const std::string content = ReadPcFile(path);
    {
        TBusyCursor busy;
        if (!content.empty())
            Files->LoadFirmware(ToDevice(QFileInfo(path).fileName().toLower()), content);
    }
    reTerm->setFocus();
}

bool TfmMain::LoadDroppedFirmware(QStringList& Files) {
    QStringList firmware;
    bool bootLoaderImage = false;
    for (qsizetype i = Files.size() - 1; i >= 0; --i) {
        if (!Files[i].endsWith(".blf", Qt::CaseInsensitive)) continue;
        if (Files[i].contains("bootloader", Qt::CaseInsensitive)) bootLoaderImage = true;
        firmware.append(Files[i]);
        Files.removeAt(i);
    }
    if (firmware.isEmpty()) return true;
    if (!Terminal->IsBootLoader() && !EnterBootLoader()) firmware.clear();
    for (const QString& file : firmware)
        UploadBlfFile(file);
    if (bootLoaderImage) EnterBootLoader();
    TermPrint("Run firmware...", fsItalic);
    Terminal->SendLine("run");
    TermPrint("\r\n", fsItalic);
    return true;
}

bool TfmMain::EnterBootLoader() {
    TermPrint("Rebooting...", fsItalic);
    Terminal->IsReady();
    Terminal->SendLine("boot");
    kv::Clock().SleepMs(2000);
    Comms->Disconnect();
    for (int attempt = 0;; ++attempt) {
        if (Terminal->IsBootLoader()) {
            TermPrint("\r\n", fsItalic);
            return true;
        }
        if (attempt == 15) {
            TermPrint("FAILED", fsBold);
            return false;
        }
        Comms->Disconnect();
        kv::Clock().SleepMs(1000);
        TermPrint(".", fsItalic);
        Comms->Connect();
    }
}

bool TfmMain::UploadBlfFile(const QString& FileName) {
    const QString name = QFileInfo(FileName).fileName();
    const std::string content = ReadPcFile(FileName);
    TermPrint("\r\nUpload BLF\r\n", fsItalic);
    TermPrint(ToDevice(name), fsBold);
    TermPrint(" / " + std::to_string(content.size()) + "\r\n", fsRegular);
    TBusyCursor busy;
    Terminal->IsReady();
    Files->LoadFirmware(ToDevice(name), content);
    std::string dropped;
    TermPrint(" load\r\n", fsItalic);
    Terminal->ReadToPromptStart(1000, dropped);
    TermPrint(" verify\r\n", fsItalic);
    Terminal->ReadToPromptStart(7000, dropped);
    TermPrint(" burn\r\n", fsItalic);
    Terminal->ReadToPromptStart(15000, dropped);
    Terminal->ClearInput();
    return true;
}
