// The file system behind the simulated device: in memory, or a folder of the PC.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv::sim {

// FAT attribute bits as the device lists them.
constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;

// Result numbers of the file commands; the device prints them as "<n>:<text>".
enum FsResult : int {
    kOk = 0,
    kPathNotFound = 2,
    kFileNotFound = 4,
    kAccessDenied = 5,
    kExists = 8,
    kNotEmpty = 9,
    kInvalidName = 10,
    kDiskFull = 11,
};
const char* ResultText(int result);

// A packed FAT date and time: date in the high 16 bits, time in the low 16 bits.
uint32_t PackFatTime(int year, int month, int day, int hour, int minute, int second);

struct SimEntry {
    std::string name;
    uint32_t size = 0;
    uint8_t attr = kAttrArchive;
    uint32_t created = 0;
    uint32_t modified = 0;
    uint32_t accessed = 0;
    bool IsDir() const { return attr & kAttrDirectory; }
};

// Paths are lists of names below the root; the device resolves them before calling.
using SimPath = std::vector<std::string>;

class SimStorage {
  public:
    virtual ~SimStorage() = default;
    // Entries of a directory in the device's order; false when it is not a directory.
    virtual bool List(const SimPath& dir, std::vector<SimEntry>& entries) = 0;
    virtual bool Stat(const SimPath& path, SimEntry& entry) = 0;
    virtual bool ReadFile(const SimPath& path, std::string& content) = 0;
    virtual int WriteFile(const SimPath& path, const std::string& content, uint32_t stamp) = 0;
    virtual int MakeDir(const SimPath& path, uint32_t stamp) = 0;
    virtual int DeleteFile(const SimPath& path) = 0;
    virtual int WipeDir(const SimPath& path) = 0;
    virtual int Rename(const SimPath& path, const std::string& newName) = 0;
};

// A tree in memory. Names are kept exactly, so a test can give an entry any name at all.
class MemoryStorage final : public SimStorage {
  public:
    MemoryStorage();
    ~MemoryStorage() override;

    // Adds a file, making its directories; for setting up a device.
    void AddFile(const std::string& path, const std::string& content, uint32_t stamp = 0);
    void AddDir(const std::string& path, uint32_t stamp = 0);
    // Adds an entry with a name that no path can address (for hostile listings).
    void AddRawEntry(const std::string& dir, const SimEntry& entry, const std::string& content);

    bool List(const SimPath& dir, std::vector<SimEntry>& entries) override;
    bool Stat(const SimPath& path, SimEntry& entry) override;
    bool ReadFile(const SimPath& path, std::string& content) override;
    int WriteFile(const SimPath& path, const std::string& content, uint32_t stamp) override;
    int MakeDir(const SimPath& path, uint32_t stamp) override;
    int DeleteFile(const SimPath& path) override;
    int WipeDir(const SimPath& path) override;
    int Rename(const SimPath& path, const std::string& newName) override;

    struct Node;

  private:
    Node* Find(const SimPath& path);
    Node* FindParent(const SimPath& path);
    std::unique_ptr<Node> root_;
};

// A folder of the PC as the device's file system. Nothing outside the folder is ever touched.
class FolderStorage final : public SimStorage {
  public:
    explicit FolderStorage(std::string root);

    bool List(const SimPath& dir, std::vector<SimEntry>& entries) override;
    bool Stat(const SimPath& path, SimEntry& entry) override;
    bool ReadFile(const SimPath& path, std::string& content) override;
    int WriteFile(const SimPath& path, const std::string& content, uint32_t stamp) override;
    int MakeDir(const SimPath& path, uint32_t stamp) override;
    int DeleteFile(const SimPath& path) override;
    int WipeDir(const SimPath& path) override;
    int Rename(const SimPath& path, const std::string& newName) override;

  private:
    std::filesystem::path Native(const SimPath& path) const;
    std::string root_;
};

// Splits "a/b/c" or "/a/b" into names, dropping empty and "." names and applying "..".
SimPath SplitPath(const std::string& path);
// True for a name that may be created on the device.
bool ValidName(const std::string& name);

} // namespace kv::sim
