#include "SimStorage.h"

#include "device/DeviceText.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kv::sim {

const char* ResultText(int result) {
    switch (result) {
    case kOk:
        return "No error";
    case kPathNotFound:
        return "Path not found";
    case kFileNotFound:
        return "File not found";
    case kAccessDenied:
        return "Access denied";
    case kExists:
        return "File exists";
    case kNotEmpty:
        return "Directory not empty";
    case kInvalidName:
        return "Invalid name";
    case kDiskFull:
        return "Disk full";
    }
    return "Unknown error";
}

uint32_t PackFatTime(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<uint32_t>(year - 1980) << 25 | static_cast<uint32_t>(month) << 21 |
           static_cast<uint32_t>(day) << 16 | static_cast<uint32_t>(hour) << 11 |
           static_cast<uint32_t>(minute) << 5 | static_cast<uint32_t>(second / 2);
}

SimPath SplitPath(const std::string& path) {
    SimPath out;
    std::string name;
    std::istringstream in(path);
    while (std::getline(in, name, '/')) {
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(name);
    }
    return out;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    return name.find_first_of(std::string("/\\:*?\"<>|\0", 10)) == std::string::npos;
}

// ---- MemoryStorage ----

struct MemoryStorage::Node {
    SimEntry entry;
    std::string content;
    std::vector<std::unique_ptr<Node>> children; // in creation order, as FAT keeps them
    Node* Child(const std::string& name) {
        for (auto& c : children)
            if (c->entry.name == name) return c.get();
        return nullptr;
    }
};

MemoryStorage::MemoryStorage() : root_(std::make_unique<Node>()) {
    root_->entry.attr = kAttrDirectory;
}
MemoryStorage::~MemoryStorage() = default;

MemoryStorage::Node* MemoryStorage::Find(const SimPath& path) {
    Node* node = root_.get();
    for (const auto& name : path) {
        if (!node->entry.IsDir()) return nullptr;
        node = node->Child(name);
        if (!node) return nullptr;
    }
    return node;
}

MemoryStorage::Node* MemoryStorage::FindParent(const SimPath& path) {
    if (path.empty()) return nullptr;
    Node* parent = Find(SimPath(path.begin(), path.end() - 1));
    return parent && parent->entry.IsDir() ? parent : nullptr;
}

void MemoryStorage::AddDir(const std::string& path, uint32_t stamp) {
    Node* node = root_.get();
    for (const auto& name : SplitPath(path)) {
        Node* child = node->Child(name);
        if (!child) {
            auto made = std::make_unique<Node>();
            made->entry.name = name;
            made->entry.attr = kAttrDirectory;
            made->entry.created = made->entry.modified = made->entry.accessed = stamp;
            child = made.get();
            node->children.push_back(std::move(made));
        }
        node = child;
    }
}

void MemoryStorage::AddFile(const std::string& path, const std::string& content, uint32_t stamp) {
    SimPath p = SplitPath(path);
    if (p.empty()) return;
    const std::string name = p.back();
    p.pop_back();
    std::string dir;
    for (const auto& n : p)
        dir += "/" + n;
    AddDir(dir, stamp);
    WriteFile(SplitPath(path), content, stamp);
}

void MemoryStorage::AddRawEntry(const std::string& dir, const SimEntry& entry,
                                const std::string& content) {
    AddDir(dir);
    Node* parent = Find(SplitPath(dir));
    auto node = std::make_unique<Node>();
    node->entry = entry;
    node->content = content;
    parent->children.push_back(std::move(node));
}

bool MemoryStorage::List(const SimPath& dir, std::vector<SimEntry>& entries) {
    entries.clear();
    Node* node = Find(dir);
    if (!node || !node->entry.IsDir()) return false;
    for (const auto& c : node->children)
        entries.push_back(c->entry);
    return true;
}

bool MemoryStorage::Stat(const SimPath& path, SimEntry& entry) {
    Node* node = Find(path);
    if (!node) return false;
    entry = node->entry;
    return true;
}

bool MemoryStorage::ReadFile(const SimPath& path, std::string& content) {
    Node* node = Find(path);
    if (!node || node->entry.IsDir()) return false;
    content = node->content;
    return true;
}

int MemoryStorage::WriteFile(const SimPath& path, const std::string& content, uint32_t stamp) {
    Node* parent = FindParent(path);
    if (!parent) return kPathNotFound;
    Node* node = parent->Child(path.back());
    if (node && node->entry.IsDir()) return kAccessDenied;
    if (node && (node->entry.attr & kAttrReadOnly)) return kAccessDenied;
    if (!node) {
        if (!ValidName(path.back())) return kInvalidName;
        auto made = std::make_unique<Node>();
        made->entry.name = path.back();
        made->entry.attr = kAttrArchive;
        made->entry.created = stamp;
        node = made.get();
        parent->children.push_back(std::move(made));
    }
    node->content = content;
    node->entry.size = static_cast<uint32_t>(content.size());
    node->entry.modified = node->entry.accessed = stamp;
    return kOk;
}

int MemoryStorage::MakeDir(const SimPath& path, uint32_t stamp) {
    Node* parent = FindParent(path);
    if (!parent) return kPathNotFound;
    if (parent->Child(path.back())) return kExists;
    if (!ValidName(path.back())) return kInvalidName;
    auto made = std::make_unique<Node>();
    made->entry.name = path.back();
    made->entry.attr = kAttrDirectory;
    made->entry.created = made->entry.modified = made->entry.accessed = stamp;
    parent->children.push_back(std::move(made));
    return kOk;
}

namespace {
template <class Children, class Pred> bool EraseChild(Children& children, Pred pred) {
    auto it = std::find_if(children.begin(), children.end(), pred);
    if (it == children.end()) return false;
    children.erase(it);
    return true;
}
} // namespace

int MemoryStorage::DeleteFile(const SimPath& path) {
    Node* parent = FindParent(path);
    if (!parent) return kPathNotFound;
    Node* node = parent->Child(path.back());
    if (!node) return kFileNotFound;
    if (node->entry.IsDir() && !node->children.empty()) return kNotEmpty;
    if (node->entry.attr & kAttrReadOnly) return kAccessDenied;
    EraseChild(parent->children, [&](const auto& c) { return c.get() == node; });
    return kOk;
}

int MemoryStorage::WipeDir(const SimPath& path) {
    Node* parent = FindParent(path);
    if (!parent) return kPathNotFound;
    Node* node = parent->Child(path.back());
    if (!node) return kPathNotFound;
    if (!node->entry.IsDir()) return kAccessDenied;
    EraseChild(parent->children, [&](const auto& c) { return c.get() == node; });
    return kOk;
}

int MemoryStorage::Rename(const SimPath& path, const std::string& newName) {
    Node* parent = FindParent(path);
    if (!parent) return kPathNotFound;
    Node* node = parent->Child(path.back());
    if (!node) return kFileNotFound;
    if (!ValidName(newName)) return kInvalidName;
    if (parent->Child(newName)) return kExists;
    node->entry.name = newName;
    return kOk;
}

// ---- FolderStorage ----

namespace fs = std::filesystem;

namespace {

uint32_t StampOf(const fs::path& p) {
    std::error_code ec;
    const auto t = fs::last_write_time(p, ec);
    if (ec) return 0;
    // Converted exactly and rounded down to the second: an offset measured from two clocks read
    // one after the other would put an exact second a hair early, and the device's two-second
    // stamp a whole step early.
    const auto sys = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(t));
    const std::time_t tt = std::chrono::system_clock::to_time_t(sys);
    std::tm local{};
    if (const std::tm* now = std::localtime(&tt)) local = *now;
    if (local.tm_year + 1900 < 1980) return 0;
    return PackFatTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec);
}

// The device's names are 8-bit text shown as Latin-1; the folder's names are UTF-8. A name maps
// to the device's 8-bit form where it has one, and back; a name without one (characters above
// U+00FF, or bytes that are not UTF-8) is kept as its bytes both ways.
std::string DeviceName(const std::string& pcName) {
    std::string name;
    return Utf8ToLatin1(pcName, name) ? name : pcName;
}

std::string PcName(const std::string& deviceName) {
    return HasWideUtf8(deviceName) ? deviceName : Latin1ToUtf8(deviceName);
}

bool EntryOf(const fs::path& p, SimEntry& entry) {
    std::error_code ec;
    const auto status = fs::status(p, ec);
    if (ec || !fs::exists(status)) return false;
    const std::u8string name = p.filename().u8string();
    entry.name = DeviceName(std::string(name.begin(), name.end()));
    if (fs::is_directory(status)) {
        entry.attr = kAttrDirectory;
        entry.size = 0;
    } else {
        entry.attr = kAttrArchive;
        const auto size = fs::file_size(p, ec);
        entry.size = ec ? 0 : static_cast<uint32_t>(size);
    }
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none)
        entry.attr |= kAttrReadOnly;
    entry.created = entry.modified = entry.accessed = StampOf(p);
    return true;
}

} // namespace

FolderStorage::FolderStorage(std::string root) : root_(std::move(root)) {}

fs::path FolderStorage::Native(const SimPath& path) const {
    // Built from UTF-8 text, which a narrow path is not on every system.
    const auto utf8 = [](const std::string& t) {
        return fs::path(std::u8string(t.begin(), t.end()));
    };
    fs::path p = utf8(root_);
    for (const auto& name : path)
        p /= utf8(PcName(name));
    return p;
}

bool FolderStorage::List(const SimPath& dir, std::vector<SimEntry>& entries) {
    entries.clear();
    for (const auto& name : dir)
        if (!ValidName(name)) return false;
    std::error_code ec;
    fs::directory_iterator it(Native(dir), ec);
    if (ec) return false;
    for (const auto& e : it) {
        SimEntry entry;
        if (EntryOf(e.path(), entry)) entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(),
              [](const SimEntry& a, const SimEntry& b) { return a.name < b.name; });
    return true;
}

bool FolderStorage::Stat(const SimPath& path, SimEntry& entry) {
    for (const auto& name : path)
        if (!ValidName(name)) return false;
    if (path.empty()) {
        entry = SimEntry{"", 0, kAttrDirectory};
        return fs::is_directory(root_);
    }
    return EntryOf(Native(path), entry);
}

bool FolderStorage::ReadFile(const SimPath& path, std::string& content) {
    SimEntry entry;
    if (!Stat(path, entry) || entry.IsDir()) return false;
    std::ifstream in(Native(path), std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int FolderStorage::WriteFile(const SimPath& path, const std::string& content, uint32_t) {
    if (path.empty()) return kAccessDenied;
    for (const auto& name : path)
        if (!ValidName(name)) return kInvalidName;
    SimEntry entry;
    if (!Stat(SimPath(path.begin(), path.end() - 1), entry) || !entry.IsDir()) return kPathNotFound;
    if (Stat(path, entry) && (entry.IsDir() || (entry.attr & kAttrReadOnly))) return kAccessDenied;
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return out ? kOk : kAccessDenied;
}

int FolderStorage::MakeDir(const SimPath& path, uint32_t) {
    if (path.empty()) return kExists;
    for (const auto& name : path)
        if (!ValidName(name)) return kInvalidName;
    SimEntry entry;
    if (!Stat(SimPath(path.begin(), path.end() - 1), entry)) return kPathNotFound;
    if (Stat(path, entry)) return kExists;
    std::error_code ec;
    return fs::create_directory(Native(path), ec) ? kOk : kAccessDenied;
}

int FolderStorage::DeleteFile(const SimPath& path) {
    SimEntry entry;
    if (path.empty() || !Stat(path, entry)) return kFileNotFound;
    std::error_code ec;
    if (entry.IsDir() && !fs::is_empty(Native(path), ec)) return kNotEmpty;
    return fs::remove(Native(path), ec) ? kOk : kAccessDenied;
}

int FolderStorage::WipeDir(const SimPath& path) {
    SimEntry entry;
    if (path.empty() || !Stat(path, entry)) return kPathNotFound;
    if (!entry.IsDir()) return kAccessDenied;
    std::error_code ec;
    fs::remove_all(Native(path), ec);
    return ec ? kAccessDenied : kOk;
}

int FolderStorage::Rename(const SimPath& path, const std::string& newName) {
    SimEntry entry;
    if (path.empty() || !Stat(path, entry)) return kFileNotFound;
    if (!ValidName(newName)) return kInvalidName;
    SimPath target(path.begin(), path.end() - 1);
    target.push_back(newName);
    if (Stat(target, entry)) return kExists;
    std::error_code ec;
    fs::rename(Native(path), Native(target), ec);
    return ec ? kAccessDenied : kOk;
}

} // namespace kv::sim
