// The file commands: Delete, Save to PC, Edit, Rename, Make Dir and New File.
#include "BusyCursor.h"
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "ufmDialogs.h"
#include "ufmMain.h"
#include "workflows/EditorText.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QSaveFile>
#include <QTextDocument>
#include <cctype>

namespace {

bool IsParentRow(const QString& caption) {
    return caption == "..";
}

// The name dialogs refuse what the device's command line cannot carry under its current form.
TNameCheck DeviceNameCheck(const kv::TkvbFiles& Files) {
    return [&Files](const QString& Name) { return NameRefusal(Name, Files.QuotePaths); };
}

} // namespace

// ---- editor text ----

// Device bytes as editor text, when the editor can hold them exactly: the byte rules of the
// shared layer, and every character kept by the editor as it is.
bool DeviceTextToEditor(const std::string& Bytes, QString& Text, bool& CrLf, QString& Why) {
    std::string plain, why;
    if (!kv::SplitEditorText(Bytes, plain, CrLf, why)) {
        Why = QString::fromStdString(why);
        return false;
    }
    Text = FromDevice(plain);
    QTextDocument probe;
    probe.setPlainText(Text);
    if (probe.toPlainText() != Text) {
        Why = "it holds characters the editor would change";
        return false;
    }
    return true;
}

// Editor text as the device's 8-bit lines; false when a character has no 8-bit form.
bool EditorTextToDevice(const QString& Text, std::string& Plain) {
    for (QChar c : Text)
        if (c.unicode() > 0xFF) return false;
    Plain = ToDevice(Text);
    return true;
}

// ---- results ----

bool TfmMain::ShowResult(const kv::VerbResult& Result) {
    if (!Result.Ok()) TermFail("\r\n" + Result.Message() + "\r\n");
    return Result.Ok();
}

// ---- Delete ----

void TfmMain::actDeleteExecute() {
    QList<int> rows;
    for (int row : SelectedRows())
        if (!IsParentRow(Caption(row))) rows.append(row);
    if (rows.isEmpty()) return;
    // A folder goes with everything in it: the question says so, and Enter answers No.
    qsizetype folders = 0;
    for (int row : rows)
        if (ItemIsDir(row)) ++folders;
    QString question;
    if (rows.size() == 1)
        question = folders ? "Delete the folder \"" + Caption(rows[0]) + "\" and everything in it?"
                           : "Delete \"" + Caption(rows[0]) + "\"?";
    else if (folders == 0)
        question = QString("Delete %1 files?").arg(rows.size());
    else if (folders == 1)
        question = QString("Delete %1 entries, one of them a folder with everything in it?")
                       .arg(rows.size());
    else
        question = QString("Delete %1 entries, %2 of them folders with everything in them?")
                       .arg(rows.size())
                       .arg(folders);
    if (UiHooks().Caution(this, question, "Confirm", QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    const kv::TDeviceHold hold(*Comms);
    try {
        TDeviceOperation op(*Activity, true);
        for (int row : rows) {
            if (!Terminal->IsConnected() || Work->State.StopHere()) break;
            ShowResult(
                Work->Verbs.Delete(CurrentDir + "/" + ToDevice(Caption(row)), ItemIsDir(row)));
        }
    } catch (...) {
        ShowDirectory(CurrentDir);
        throw;
    }
    ShowDirectory(CurrentDir);
}

// ---- Save to PC ----

void TfmMain::ShowFileCount(int Count) {
    // The count of files saved so far: nothing to show before the first.
    lblCount->setText(QString::number(Count));
    lblCount->setVisible(Count > 0);
    lblCount->repaint();
}

void TfmMain::HideFileCount() {
    lblCount->setVisible(false);
}

bool TfmMain::SaveToPcFile(const QString& PcPath, const std::string& Content,
                           const std::optional<kv::DateTime>& Stamp) {
    return Work->Save.SaveToPcFile(PcPathOf(PcPath), Content, Stamp);
}

void TfmMain::SaveDirectoryToPc(const QString& PcFolder, const std::string& DeviceFolder,
                                const std::string& DirName) {
    Work->Save.SaveDirectoryToPc(PcPathOf(PcFolder), DeviceFolder, DirName);
}

void TfmMain::actSaveExecute() {
    std::vector<kv::DeviceDirEntry> files;
    std::vector<std::string> dirs;
    SelectedEntries(files, dirs);
    if (files.empty() && dirs.empty()) return;
    QString folder = SaveDir;
    if (!QFileInfo(folder).isDir()) folder.clear();
    if (!UiHooks().BrowseForFolder(this, "Save to Directory", folder)) return;
    SaveDir = folder;
    SaveEntries(SaveDir, CurrentDir, files, dirs,
                "to " + ToDevice(QDir::toNativeSeparators(SaveDir)));
}

void TfmMain::SelectedEntries(std::vector<kv::DeviceDirEntry>& Files,
                              std::vector<std::string>& Dirs) const {
    for (int row : SelectedRows()) {
        if (IsParentRow(Caption(row))) continue;
        if (ItemIsDir(row))
            Dirs.push_back(ToDevice(Caption(row)));
        else
            Files.push_back(Entry(row));
    }
}

void TfmMain::SaveEntries(const QString& PcFolder, const std::string& DeviceFolder,
                          const std::vector<kv::DeviceDirEntry>& Files,
                          const std::vector<std::string>& Dirs, const std::string& Where) {
    Work->Save.BeginSave();
    struct CleanUp {
        TfmMain* window;
        ~CleanUp() {
            window->HideFileCount();
            window->HideTransfer();
        }
    } cleanUp{this};
    const kv::TDeviceHold hold(*Comms);
    TDeviceOperation op(*Activity, true);
    Work->Save.SaveToPc(PcPathOf(PcFolder), DeviceFolder, Files, Dirs);
    EndTransfer("Saved", Where);
}

// ---- Edit ----

void TfmMain::actEditExecute() {
    const int row = CurrentRow();
    if (row < 0 || IsParentRow(Caption(row))) return;
    const std::string path = CurrentDir + "/" + ToDevice(Caption(row));
    // The text goes back to the device it came from, or nowhere: the editor is modal and the
    // timers reconnect meanwhile, so without this another device could take its place.
    const kv::TDeviceHold hold(*Comms);
    std::string content;
    {
        // The whole file is read before the editor opens: a large one shows its progress and
        // may be cancelled (the device sends it to the end; the editor then does not open).
        TDeviceOperation op(*Activity, true);
        const kv::DeviceDirEntry entry = Entry(row);
        BeginTransfer(1, static_cast<uint64_t>(std::max(0, entry.Size)), true);
        Work->State.Tally.StartFile(entry.Name, static_cast<uint64_t>(std::max(0, entry.Size)));
        const kv::VerbResult read = Work->Verbs.Read(path, content);
        HideTransfer();
        if (!ShowResult(read)) return;
        if (Activity->CancelAsked()) {
            TermPrint("\r\nCancelled: \"" + path + "\" was not opened.\r\n", fsItalic);
            return;
        }
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
    // The editor stores through this and closes only when the device took the text: a text the
    // device cannot store, or a write it refuses, leaves the user's text in the open editor.
    const auto store = [&](const QString& Text, QString& Why) {
        std::string edited;
        if (!EditorTextToDevice(Text, edited)) {
            Why = "it holds characters that the device's 8-bit text cannot store";
            return false;
        }
        kv::VerbResult written;
        {
            TDeviceOperation op(*Activity);
            written = Work->Verbs.EditorWrite(path, edited, crlf);
        }
        if (written.What == kv::Outcome::OtherDevice) {
            std::string line = written.Detail + "; the text is kept.";
            line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
            TermFail("\r\n" + line + "\r\n");
            Why = FromDevice(written.Detail);
        } else if (!ShowResult(written)) {
            Why = FromDevice(written.Message());
        }
        return written.Ok();
    };
    if (!fmFile->EditText(FromDevice(path), text, store)) return;
    ShowDirectory(CurrentDir);
}

// ---- Rename, Make Dir, New File ----

void TfmMain::actRenameExecute() {
    const int row = CurrentRow();
    if (row < 0 || IsParentRow(Caption(row))) return;
    fmRename->SetName(Caption(row));
    fmRename->CheckName = DeviceNameCheck(*Files);
    if (fmRename->exec() != QDialog::Accepted) return;
    const std::string name = ToDevice(fmRename->GetNewName());
    if (name.empty()) return;
    {
        TDeviceOperation op(*Activity);
        ShowResult(Work->Verbs.Rename(CurrentDir + "/" + ToDevice(Caption(row)), name));
    }
    ShowDirectory(CurrentDir);
}

void TfmMain::actMkDirExecute() {
    fmMkDir->SetMode(true);
    fmMkDir->CheckName = DeviceNameCheck(*Files);
    if (fmMkDir->exec() != QDialog::Accepted) return;
    const std::string name = ToDevice(fmMkDir->GetName());
    if (name.empty()) return;
    {
        TDeviceOperation op(*Activity);
        ShowResult(Work->Verbs.MakeDirectory(CurrentDir + "/" + name));
    }
    ShowDirectory(CurrentDir);
}

void TfmMain::actMakeFileExecute() {
    fmMkDir->SetMode(false);
    fmMkDir->CheckName = DeviceNameCheck(*Files);
    if (fmMkDir->exec() != QDialog::Accepted) return;
    const QString name = fmMkDir->GetName();
    if (name.isEmpty()) return;
    // The device's folder as it is now, not only the rows shown: a file made there since the
    // list was shown is not emptied without asking.
    std::vector<kv::DeviceDirEntry> entries;
    {
        TDeviceOperation op(*Activity);
        const kv::VerbResult listed = Work->Verbs.List(CurrentDir, entries);
        if (!listed.Ok()) {
            ShowResult(listed);
            return;
        }
    }
    const std::string wanted = kv::AsciiLower(ToDevice(name));
    bool exists = false;
    for (const auto& entry : entries)
        exists = exists || kv::AsciiLower(entry.Name) == wanted;
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row)
        exists = exists || kv::AsciiLower(ToDevice(Caption(row))) == wanted;
    if (exists && UiHooks().Question(this, "File exists! Overwrite?", "Confirm",
                                     QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    {
        TDeviceOperation op(*Activity);
        ShowResult(Work->Verbs.Write(CurrentDir + "/" + ToDevice(name), std::string()));
    }
    ShowDirectory(CurrentDir);
}
