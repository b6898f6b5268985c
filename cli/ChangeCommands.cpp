// The commands of kvb that change the device: rm, mkdir, mv, touch, edit and flash.
#include "Commands.h"

#include "device/DeviceText.h"
#include "workflows/EditorText.h"
#include "workflows/PcFiles.h"

#include <cstdio>
#include <cstdlib>

namespace kvb {

namespace fs = std::filesystem;

int Rm(Session& s, const std::vector<std::string>& paths, bool recursive) {
    int refused = 0;
    for (const auto& found : ExpandDevicePaths(s, paths)) {
        const std::string& path = found.path;
        if (path.empty()) throw Failure(kUsage, "the root cannot be removed");
        const auto entry = Existing(s, path);
        if (kv::IsDirectory(entry) && !recursive) {
            if (!found.matched) throw Failure(kUsage, Shown(path) + " is a directory (use -r)");
            s.Say(Shown(path) + ": a directory; left out (-r removes it)");
            continue;
        }
        const kv::VerbResult removed = s.Work.Verbs.Delete(path, kv::IsDirectory(entry));
        if (removed.What == kv::Outcome::DeviceGone) Check(removed);
        if (!removed.Ok()) {
            std::fprintf(stderr, "kvb: %s\n", PrintableName(removed.Message()).c_str());
            ++refused;
        }
        if (Interrupts.load() > 0) throw Failure(kInterrupted, "interrupted");
    }
    if (refused) throw Failure(kDeviceError, std::to_string(refused) + " not removed");
    return kOk;
}

int Mkdir(Session& s, const std::vector<std::string>& paths, bool parents) {
    for (const auto& where : paths) {
        const std::string path = DevicePath(where);
        if (!parents) {
            Check(s.Work.Verbs.MakeDirectory(path));
            continue;
        }
        // -p: each directory on the way that is not there yet, and no failure for one that is.
        Check(s.Work.Verbs.MakeDirectories(path));
    }
    return kOk;
}

int Mv(Session& s, const std::string& from, const std::string& newName) {
    const std::string path = DevicePath(from);
    if (newName.find('/') != std::string::npos) return MoveAcross(s, path, newName);
    if (newName.empty()) throw Failure(kUsage, "no new name given");
    std::string name;
    if (!kv::Utf8ToLatin1(newName, name))
        throw Failure(kUsage, "the device cannot store the name " + newName);
    Existing(s, path);
    Check(s.Work.Verbs.Rename(path, name));
    return kOk;
}

int MoveAcross(Session& s, const std::string& path, const std::string& to) {
    // The device renames within a folder only: a file goes to another by a copy, which a
    // listing must show whole, and only then is the original deleted. A cut leaves it.
    const kv::DeviceDirEntry entry = Existing(s, path);
    if (kv::IsDirectory(entry))
        throw Failure(kDeviceError, Shown(path) +
                                        ": a folder moves to another folder only as a copy "
                                        "(get -r, put -r, then rm -r)");
    std::string target = DevicePath(to);
    if ((!to.empty() && to.back() == '/') || IsDeviceDir(s, target)) target += "/" + entry.Name;
    if (kv::DeviceParentOf(target) == kv::DeviceParentOf(path)) {
        if (target != path) Check(s.Work.Verbs.Rename(path, kv::DeviceLeafOf(target)));
        return kOk;
    }
    if (!IsDeviceDir(s, kv::DeviceParentOf(target)))
        throw Failure(kDeviceError, Shown(kv::DeviceParentOf(target)) + ": no such directory");
    if (FindEntry(s, target))
        throw Failure(kDeviceError, Shown(target) + " exists: nothing was moved");
    std::string content;
    Check(s.Work.Verbs.Read(path, content));
    Check(s.Work.Verbs.Write(target, content, true, kv::TargetState::Absent));
    const std::optional<kv::DeviceDirEntry> copy = FindEntry(s, target);
    if (!copy || static_cast<size_t>(copy->Size) != content.size())
        throw Failure(kDeviceError, Shown(target) + ": the copy is not whole; " + Shown(path) +
                                        " was left as it is");
    Check(s.Work.Verbs.Delete(path, false));
    s.Say("moved " + Shown(path) + " to " + Shown(target) +
          " (copied, checked by a listing, and the original deleted)");
    return kOk;
}

int Touch(Session& s, const std::vector<std::string>& paths) {
    // An existing file is left as it is: touch never empties a file. One the device does not
    // make is said, and the others are made all the same.
    int refused = 0;
    for (const auto& where : paths) {
        const kv::VerbResult made = s.Work.Verbs.NewFile(DevicePath(where));
        if (made.What == kv::Outcome::DeviceGone || (paths.size() == 1 && !made.Ok())) Check(made);
        if (!made.Ok()) {
            std::fprintf(stderr, "kvb: %s\n", PrintableName(made.Message()).c_str());
            ++refused;
        }
    }
    if (refused) throw Failure(kDeviceError, std::to_string(refused) + " not made");
    return kOk;
}

namespace {

// The first character of a UTF-8 text beyond the device's 8-bit text, as the window's editor
// names it: "X" (U+XXXX) on line L, column C (columns count characters, from 1).
std::string FirstUnstorable(const std::string& Utf8) {
    int line = 1, column = 1;
    for (size_t i = 0; i < Utf8.size();) {
        const auto lead = static_cast<unsigned char>(Utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (size_t k = 1; k < length && i + k < Utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(Utf8[i + k]) & 0x3F);
        if (code > 0xFF) {
            char where[96];
            std::snprintf(where, sizeof where, "\" (U+%04X) on line %d, column %d",
                          static_cast<unsigned>(code), line, column);
            return "\"" + Utf8.substr(i, length) + where;
        }
        if (code == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
        i += length;
    }
    return "a character";
}

} // namespace

int Edit(Session& s, const std::string& where) {
    const std::string path = DevicePath(where);
    std::string plain, why;
    bool crlf = false;
    // A file that is not there yet starts empty, in a directory that is; it is made only when
    // the editor gives back some text.
    const bool fresh = !path.empty() && !FindEntry(s, path);
    if (fresh) {
        if (!IsDeviceDir(s, kv::DeviceParentOf(path)))
            throw Failure(kDeviceError, Shown(kv::DeviceParentOf(path)) + ": no such directory");
        crlf = true; // the device's own line ends
    } else {
        Check(s.Work.Verbs.EditorRead(path, plain, crlf, why));
    }
    if (!why.empty())
        throw Failure(kDeviceError, Shown(path) + " is not opened for editing: " + why +
                                        ", and saving it from the editor would change it");
    const std::string shown = kv::Latin1ToUtf8(plain);
    const fs::path folder = MakePrivateFolder();
    const std::string name = EditFileName(kv::Latin1ToUtf8(kv::DeviceLeafOf(path)));
    const fs::path temp = folder / fs::path(std::u8string(name.begin(), name.end()));
    // The text is removed only when it is on the device or was not changed; otherwise it stays
    // where the editor saved it, and the user is told where.
    bool keep = true;
    struct Remove {
        const fs::path& folder;
        const bool& keep;
        ~Remove() {
            std::error_code ec;
            if (!keep) fs::remove_all(folder, ec);
        }
    } remove{folder, keep};
    const auto kept = [&](int status, const std::string& what) {
        return Failure(status, what + "; your text is kept in " + kv::ShownPath(temp));
    };
    CreatePrivateFile(temp, shown);
    const char* editor = std::getenv("VISUAL");
    if (!editor || !*editor) editor = std::getenv("EDITOR");
    if (!editor || !*editor) editor = DefaultEditor();
    const int status = RunEditor(editor, temp);
    const std::string edited = kv::ReadPcFile(temp);
    if (edited == shown) {
        keep = false;
        if (status != 0)
            throw Failure(kPcFileError,
                          "the editor (" + std::string(editor) + ") failed; nothing written");
        s.Say(Shown(path) +
              (fresh ? " not made: the text is empty" : " unchanged: nothing written"));
        return kOk;
    }
    if (status != 0)
        throw kept(kPcFileError,
                   "the editor (" + std::string(editor) + ") failed; nothing written");
    std::string back;
    if (!kv::Utf8ToLatin1(edited, back))
        throw kept(kDeviceError, "the text was not saved: " + FirstUnstorable(edited) +
                                     " is a character that the device's 8-bit text cannot "
                                     "store");
    kv::VerbResult written;
    try {
        written = s.Work.Verbs.EditorWrite(path, back, crlf);
    } catch (const std::exception& e) {
        throw kept(kDeviceError, Shown(path) + ": " + e.what());
    }
    if (!written.Ok()) throw kept(StatusOf(written.What), kv::Latin1ToUtf8(written.Message()));
    keep = false;
    return kOk;
}

int Flash(Session& s, const std::vector<std::string>& images, bool noRun) {
    std::vector<fs::path> files;
    for (const auto& image : images) {
        const std::string lower = kv::AsciiLower(image);
        if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".blf") != 0)
            throw Failure(kUsage, image + " is not a firmware file (.blf)");
        const fs::path path(std::u8string(image.begin(), image.end()));
        // Refused before the device is restarted when it cannot be read or holds nothing.
        if (kv::ReadPcFile(path).empty())
            throw Failure(kPcFileError, image + ": the file is empty; nothing to load");
        files.push_back(path);
    }
    s.Work.Save.BeginSave();
    s.Work.Firmware.RunAfterFirmware = !noRun;
    s.Work.Firmware.LoadDroppedFirmware(files);
    FailOnWhatWasNotMoved(s);
    return kOk;
}

} // namespace kvb
