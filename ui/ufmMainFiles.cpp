// The file commands: Delete, Save to PC, Edit, Rename, Make Dir and New File.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "ufmDialogs.h"
#include "ufmMain.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QSaveFile>
#include <QTextDocument>

namespace {

bool IsParentRow(const QString& caption) {
    return caption == "..";
}

// A name the device gave that may be used as one level of a PC path: nothing that climbs out of
// the chosen folder or names another level.
bool SafePcName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

[[noreturn]] void CannotCreate(const QString& path, const QString& why) {
    throw kv::EKvError(("Cannot create file \"" + QDir::toNativeSeparators(path) + "\". " + why)
                           .toLocal8Bit()
                           .toStdString());
}

QString AsciiLower(QString text) {
    for (auto& c : text)
        if (c >= u'A' && c <= u'Z') c = QChar(c.unicode() + 32);
    return text;
}

} // namespace

// ---- editor text ----

// Device bytes as editor text, when the editor can hold them exactly: line ends CR LF or LF (not
// mixed, no lone CR), no NUL, and every character kept by the editor as it is.
bool DeviceTextToEditor(const std::string& Bytes, QString& Text, bool& CrLf, QString& Why) {
    if (Bytes.find('\0') != std::string::npos) {
        Why = "it holds NUL bytes";
        return false;
    }
    size_t crlf = 0, lf = 0;
    for (size_t i = 0; i < Bytes.size(); ++i) {
        if (Bytes[i] == '\r') {
            if (i + 1 >= Bytes.size() || Bytes[i + 1] != '\n') {
                Why = "it holds a carriage return without a line feed";
                return false;
            }
            ++crlf;
            ++i;
        } else if (Bytes[i] == '\n') {
            ++lf;
        }
    }
    if (crlf && lf) {
        Why = "its lines end in two different ways";
        return false;
    }
    CrLf = crlf > 0;
    std::string plain;
    plain.reserve(Bytes.size());
    for (char c : Bytes)
        if (c != '\r') plain += c;
    Text = FromDevice(plain);
    QTextDocument probe;
    probe.setPlainText(Text);
    if (probe.toPlainText() != Text) {
        Why = "it holds characters the editor would change";
        return false;
    }
    return true;
}

// Editor text back to device bytes in the file's own line ends; false when a character has no
// 8-bit form.
bool EditorTextToDevice(const QString& Text, bool CrLf, std::string& Bytes) {
    Bytes.clear();
    for (QChar c : Text) {
        if (c.unicode() > 0xFF) return false;
        if (c == u'\n' && CrLf) Bytes += '\r';
        Bytes += static_cast<char>(c.unicode());
    }
    return true;
}

// ---- Delete ----

void TfmMain::actDeleteExecute() {
    QList<int> rows;
    for (int row : SelectedRows())
        if (!IsParentRow(Caption(row))) rows.append(row);
    if (rows.isEmpty()) return;
    const QString question = rows.size() == 1 ? "Delete \"" + Caption(rows[0]) + "\"?"
                                              : QString("Delete %1 files?").arg(rows.size());
    if (UiHooks().Question(this, question, "Confirm", QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    try {
        TBusyCursor busy;
        for (int row : rows) {
            if (!Terminal->IsConnected()) break;
            const std::string path = CurrentDir + "/" + ToDevice(Caption(row));
            if (ItemIsDir(row))
                Files->WipeDirectory(path);
            else
                Files->DeleteFile(path);
        }
    } catch (...) {
        ShowDirectory(CurrentDir);
        throw;
    }
    ShowDirectory(CurrentDir);
}

// ---- Save to PC ----

void TfmMain::ShowFileCount(int Count) {
    lblCount->setText(QString::number(Count));
    lblCount->setVisible(true);
    lblCount->repaint();
}

void TfmMain::HideFileCount() {
    lblCount->setVisible(false);
}

bool TfmMain::SaveToPcFile(const QString& PcPath, const std::string& Content,
                           const std::optional<kv::DateTime>& Stamp) {
    ShowFileCount(++SaveCounter);
    const QFileInfo info(PcPath);
    if (!QDir().mkpath(info.absolutePath())) CannotCreate(PcPath, "The folder cannot be made.");
    // Written beside the target and put in its place only when every byte is on the disk, so a
    // failed write never leaves a truncated file that looks saved, nor spoils the old one.
    QSaveFile file(PcPath);
    if (!file.open(QIODevice::WriteOnly)) CannotCreate(PcPath, file.errorString());
    const qint64 written = file.write(Content.data(), static_cast<qint64>(Content.size()));
    if (written != static_cast<qint64>(Content.size())) {
        const QString why = file.errorString();
        file.cancelWriting();
        CannotCreate(PcPath, why);
    }
    if (!file.commit()) CannotCreate(PcPath, file.errorString());
    if (Stamp) {
        // The device's stamp is local time with two-second resolution.
        const QDateTime when(QDate(Stamp->Year, Stamp->Month, Stamp->Day),
                             QTime(Stamp->Hour, Stamp->Minute, Stamp->Second & ~1));
        QFile stamped(PcPath);
        if (stamped.open(QIODevice::ReadWrite))
            stamped.setFileTime(when, QFileDevice::FileModificationTime);
    }
    return true;
}

void TfmMain::SaveDirectoryToPc(const QString& PcFolder, const std::string& DeviceFolder,
                                const std::string& DirName) {
    std::vector<std::string> lines;
    if (!Files->ListDirectory(DeviceFolder + "/" + DirName, lines)) return;
    const QString pcDir = PcFolder + "/" + FromDevice(DirName);
    for (const auto& line : lines) {
        const kv::DeviceDirEntry entry = kv::TkvbFiles::ParseDirEntry(line);
        if (entry.Name == "." || entry.Name == "..") continue;
        if (!SafePcName(entry.Name)) {
            TermPrint("\r\nNot saved: the device listed the unsafe name \"" + entry.Name +
                          "\" in " + DeviceFolder + "/" + DirName + "\r\n",
                      fsRegular);
            continue;
        }
        if (entry.Attr & kv::faDirectory) {
            SaveDirectoryToPc(pcDir, DeviceFolder + "/" + DirName, entry.Name);
        } else {
            std::string content;
            if (Files->ReadFile(DeviceFolder + "/" + DirName + "/" + entry.Name, content))
                SaveToPcFile(pcDir + "/" + FromDevice(entry.Name), content, entry.Created);
        }
    }
}

void TfmMain::actSaveExecute() {
    QList<int> rows;
    for (int row : SelectedRows())
        if (!IsParentRow(Caption(row))) rows.append(row);
    if (rows.isEmpty()) return;
    QString folder = SaveDir;
    if (!QFileInfo(folder).isDir()) folder.clear();
    if (!UiHooks().BrowseForFolder(this, "Save to Directory", folder)) return;
    SaveDir = folder;
    SaveCounter = 0;
    struct CleanUp {
        TfmMain* window;
        ~CleanUp() { window->HideFileCount(); }
    } cleanUp{this};
    TBusyCursor busy;
    const auto unsafe = [this](const std::string& name) {
        if (SafePcName(name)) return false;
        TermPrint("\r\nNot saved: the device listed the unsafe name \"" + name + "\"\r\n",
                  fsRegular);
        return true;
    };
    // Pass 1: the selected files of the shown directory.
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
        ShowFileCount(SaveCounter);
        if (!rows.contains(row)) continue;
        if (!Terminal->IsConnected()) break;
        if (ItemIsDir(row)) continue;
        const kv::DeviceDirEntry entry = kv::TkvbFiles::ParseDirEntry(RawLine(row));
        if (unsafe(entry.Name)) continue;
        std::string content;
        if (Files->ReadFile(CurrentDir + "/" + entry.Name, content))
            SaveToPcFile(SaveDir + "/" + FromDevice(entry.Name), content, entry.Created);
    }
    // Pass 2: the selected directory trees, in list order.
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
        if (!rows.contains(row)) continue;
        if (!Terminal->IsConnected()) break;
        if (!ItemIsDir(row)) continue;
        const std::string name = ToDevice(Caption(row));
        if (unsafe(name)) continue;
        SaveDirectoryToPc(SaveDir, CurrentDir, name);
    }
}

// ---- Edit ----

void TfmMain::actEditExecute() {
    const int row = CurrentRow();
    if (row < 0 || IsParentRow(Caption(row))) return;
    const std::string path = CurrentDir + "/" + ToDevice(Caption(row));
    std::string content;
    {
        TBusyCursor busy;
        if (!Files->ReadFile(path, content)) return;
    }
    QString text, why;
    bool crlf = false;
    if (!DeviceTextToEditor(content, text, crlf, why)) {
        UiHooks().Message(this,
                          "\"" + FromDevice(path) + "\" is not opened for editing: " + why +
                              ", and saving it from the editor would change it.",
                          "Edit");
        return;
    }
    if (!fmFile->EditText(FromDevice(path), text)) return;
    std::string edited;
    if (!EditorTextToDevice(text, crlf, edited)) {
        UiHooks().Message(this,
                          "The text was not saved: it holds characters that the device's "
                          "8-bit text cannot store.",
                          "Edit");
        return;
    }
    TBusyCursor busy;
    Files->WriteFile(path, edited);
    ShowDirectory(CurrentDir);
}

// ---- Rename, Make Dir, New File ----

void TfmMain::actRenameExecute() {
    const int row = CurrentRow();
    if (row < 0 || IsParentRow(Caption(row))) return;
    fmRename->SetName(Caption(row));
    if (fmRename->exec() != QDialog::Accepted) return;
    const std::string name = ToDevice(fmRename->GetNewName());
    if (name.empty()) return;
    Files->RenameFile(CurrentDir + "/" + ToDevice(Caption(row)), name);
    ShowDirectory(CurrentDir);
}

void TfmMain::actMkDirExecute() {
    fmMkDir->SetMode(true);
    if (fmMkDir->exec() != QDialog::Accepted) return;
    const std::string name = ToDevice(fmMkDir->GetName());
    if (name.empty()) return;
    Files->MakeDirectory(CurrentDir + "/" + name);
    ShowDirectory(CurrentDir);
}

void TfmMain::actMakeFileExecute() {
    fmMkDir->SetMode(false);
    if (fmMkDir->exec() != QDialog::Accepted) return;
    const QString name = fmMkDir->GetName();
    if (name.isEmpty()) return;
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
        if (AsciiLower(Caption(row)) != AsciiLower(name)) continue;
        if (UiHooks().Question(this, "File exists! Overwrite?", "Confirm",
                               QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
    }
    Files->WriteFile(CurrentDir + "/" + ToDevice(name), std::string());
    ShowDirectory(CurrentDir);
}
