// What the PC side reads as text, from the user or from its own files: a typed path's UTF-8
// becomes the device's 8-bit text only when it comes back to the same UTF-8; any .kvbignore is
// taken, and asked about; a damaged sync record is read as no record for what it cannot hold,
// and what it holds is written back and read again the same.
#include "device/DeviceText.h"
#include "workflows/IgnoreRules.h"
#include "workflows/SyncRecord.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string eight;
    if (kv::Utf8ToLatin1(text, eight) && kv::Latin1ToUtf8(eight) != text) std::abort();

    kv::TIgnoreRules rules;
    rules.AddLines(text);
    for (const char* path : {"a.lua", "sub/b.txt", ".git/x", "a/b/c", "x~", ""})
        for (const bool directory : {false, true})
            rules.Ignored(path, directory);

    // A folder of this run's own, removed when the run ends.
    static const struct Folder {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("kvb-fuzz-" + std::to_string(getpid()));
        Folder() { std::filesystem::create_directories(path); }
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } run;
    const std::filesystem::path& folder = run.path;
    const std::filesystem::path file = folder / "record.txt";
    std::ofstream(file, std::ios::binary) << text;
    kv::TSyncRecord record;
    record.Load(file);
    record.Save(file, "fuzz");
    kv::TSyncRecord again;
    again.Load(file);
    if (again.Files.size() != record.Files.size()) std::abort();
    return 0;
}
