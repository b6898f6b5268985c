#include "SyncRecord.h"

#include "PcFiles.h"
#include "Sha256.h"
#include "device/DeviceText.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace kv {

namespace fs = std::filesystem;

namespace {

const char* const kHeader = "kvb sync record 1";

// Paths are kept one a line with TAB-separated fields: "%", TAB, CR and LF in them are escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            static const char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
            out += kHex[c & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool Unescaped(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const std::string hex = text.substr(i + 1, 2);
        if (hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
        out += static_cast<char>(std::stoi(hex, nullptr, 16));
        i += 2;
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

fs::path KeyFile(const fs::path& StateFolder, const std::string& Serial, const fs::path& PcFolder,
                 const std::string& DeviceFolder) {
    const std::u8string pc = PcFolder.u8string();
    const std::string key = Serial + '\n' + std::string(pc.begin(), pc.end()) + '\n' + DeviceFolder;
    return StateFolder / "kvb" / "sync" / (Sha256Hex(key).substr(0, 32) + ".txt");
}

} // namespace

fs::path TSyncRecord::CanonicalFolder(const fs::path& PcFolder) {
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(fs::absolute(PcFolder, ec), ec);
    if (ec) folder = fs::absolute(PcFolder, ec).lexically_normal();
    while (!folder.has_filename() && folder.has_relative_path())
        folder = folder.parent_path();
    return folder;
}

fs::path TSyncRecord::FileFor(const fs::path& StateFolder, const std::string& Serial,
                              const fs::path& PcFolder, const std::string& DeviceFolder) {
    std::string device = DeviceFolder;
    while (!device.empty() && device.back() == '/')
        device.pop_back();
    return KeyFile(StateFolder, Serial, CanonicalFolder(PcFolder), device);
}

fs::path TSyncRecord::EarlierFileFor(const fs::path& StateFolder, const std::string& Serial,
                                     const fs::path& PcFolder, const std::string& DeviceFolder) {
    return KeyFile(StateFolder, Serial, fs::absolute(PcFolder).lexically_normal(), DeviceFolder);
}

void TSyncRecord::Load(const fs::path& File, const fs::path& Earlier) {
    std::error_code ec;
    Load(!Earlier.empty() && !fs::exists(File, ec) ? Earlier : File);
}

void TSyncRecord::Load(const fs::path& File) {
    Files.clear();
    Damage.clear();
    std::error_code ec;
    if (!fs::exists(File, ec)) return;
    std::istringstream in(ReadPcFile(File));
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        Damage = "it does not start as a sync record";
        return;
    }
    std::getline(in, line); // what the record is about, for a reader
    // A number as the record writes it, whole: digits, after a "-" for a signed one.
    const auto number = [](const std::string& text, auto& value) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return ec == std::errc() && end == text.data() + text.size();
    };
    int damaged = 0;
    while (std::getline(in, line)) {
        const auto f = Fields(line);
        std::string path;
        SyncedFile file;
        // A damaged line is not trusted in part: that file is compared as one without a record.
        if (f.size() != 6 || !Unescaped(f[0], path) || !number(f[1], file.PcSize) ||
            !number(f[2], file.PcTime) || !number(f[4], file.DeviceSize)) {
            ++damaged;
            continue;
        }
        file.PcHash = f[3];
        file.DeviceStamp = f[5];
        Files[path] = file;
    }
    if (damaged)
        Damage = std::to_string(damaged) + (damaged == 1 ? " damaged line" : " damaged lines");
}

std::vector<SyncPair> TSyncRecord::PairsOf(const fs::path& StateFolder, const std::string& Serial) {
    std::vector<SyncPair> pairs;
    const std::string start = "device " + Serial + ", PC folder ";
    const std::string middle = ", device folder ";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(StateFolder / "kvb" / "sync", ec)) {
        if (entry.path().extension() != ".txt" || !entry.is_regular_file(ec)) continue;
        std::string text;
        try {
            text = ReadPcFile(entry.path());
        } catch (const EPcFileError&) {
            continue;
        }
        std::istringstream in(text);
        std::string header, escaped, about;
        if (!std::getline(in, header) || header != kHeader || !std::getline(in, escaped) ||
            !Unescaped(escaped, about) || about.rfind(start, 0) != 0)
            continue;
        const size_t at = about.rfind(middle);
        if (at == std::string::npos || at < start.size()) continue;
        const std::string pc = about.substr(start.size(), at - start.size());
        std::string device;
        if (!Utf8ToLatin1(about.substr(at + middle.size()), device)) continue;
        if (device == "/") device.clear();
        SyncPair pair{fs::path(std::u8string(pc.begin(), pc.end())), device,
                      entry.last_write_time(ec)};
        if (FileFor(StateFolder, Serial, pair.PcFolder, pair.DeviceFolder) != entry.path())
            continue;
        pairs.push_back(std::move(pair));
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const SyncPair& a, const SyncPair& b) { return a.Used > b.Used; });
    return pairs;
}

void TSyncRecord::Save(const fs::path& File, const std::string& About) const {
    std::string text = std::string(kHeader) + "\n" + Escaped(About) + "\n";
    for (const auto& [path, file] : Files)
        text += Escaped(path) + '\t' + std::to_string(file.PcSize) + '\t' +
                std::to_string(file.PcTime) + '\t' + file.PcHash + '\t' +
                std::to_string(file.DeviceSize) + '\t' + file.DeviceStamp + '\n';
    WritePcFile(File, text, std::nullopt);
}

SyncDecision DecideSync(SideState Source, SideState Target, std::optional<bool> Equal,
                        const SyncRules& Rules) {
    using S = SideState;
    const auto conflict = [&](SyncAction sourceWins, SyncChange change) {
        if (Rules.SourceWins) return SyncDecision{sourceWins, SyncReason::Conflict, false, change};
        return SyncDecision{SyncAction::Skip, SyncReason::Conflict, !Rules.TargetWins, change};
    };
    if (Source == S::Absent && Target == S::Absent) return {};
    if (Target == S::Absent) return {SyncAction::Send, SyncReason::New, false};
    if (Source == S::Absent) {
        if (!Rules.DeleteExtra) return {SyncAction::Skip, SyncReason::Extra, false};
        // Removed at the source, but changed at the target since: that change is not thrown away
        // unless --force says so.
        if (Target == S::Changed) return conflict(SyncAction::Delete, SyncChange::OnBoth);
        return {SyncAction::Delete, SyncReason::Extra, false};
    }
    if (Source == S::Unknown || Target == S::Unknown) {
        // Never synced: the same content is in step from now on; different content is not
        // sent over what may be the newer of the two.
        if (Equal == true) return {SyncAction::Skip, SyncReason::Unchanged, false};
        return conflict(SyncAction::Send, SyncChange::NoRecord);
    }
    if (Source == S::Changed && Target == S::Changed)
        return conflict(SyncAction::Send, SyncChange::OnBoth);
    if (Target == S::Changed) return conflict(SyncAction::Send, SyncChange::AtTarget);
    if (Source == S::Unchanged) return {SyncAction::Skip, SyncReason::Unchanged, false};
    return {SyncAction::Send, SyncReason::Changed, false, SyncChange::AtSource};
}

std::string ChangeText(SyncChange Change, bool Up) {
    const std::string source = Up ? "the PC" : "the device", target = Up ? "the device" : "the PC";
    switch (Change) {
    case SyncChange::AtSource:
        return "changed on " + source + " since the last sync";
    case SyncChange::AtTarget:
        return "changed on " + target + " since the last sync";
    case SyncChange::OnBoth:
        return "changed on both sides since the last sync";
    case SyncChange::NoRecord:
        return "differs, and this pair was never synced";
    case SyncChange::None:
        break;
    }
    return {};
}

const char* ActionName(SyncAction Action) {
    switch (Action) {
    case SyncAction::Send:
        return "send";
    case SyncAction::Delete:
        return "delete";
    case SyncAction::Skip:
        break;
    }
    return "skip";
}

const char* ReasonName(SyncReason Reason) {
    switch (Reason) {
    case SyncReason::New:
        return "new";
    case SyncReason::Changed:
        return "changed";
    case SyncReason::Unchanged:
        return "unchanged";
    case SyncReason::Conflict:
        return "conflict";
    case SyncReason::Ignored:
        return "ignored";
    case SyncReason::Extra:
        return "extra";
    case SyncReason::Link:
        return "link";
    case SyncReason::UnsafeName:
        break;
    }
    return "unsafe-name";
}

} // namespace kv
