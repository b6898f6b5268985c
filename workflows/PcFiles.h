// PC files as the workflows read and write them: whole, with errors that name the file and give
// the system's reason, and never a partly written file in the place of a complete one.
#pragma once

#include "files/kvbFiles.h"

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace kv {

// The rules of the PC's file system for one level of a path.
enum class PcNameRules {
    Posix,   // "/" and NUL cannot be in a name, "." and ".." climb; "\" is refused as well
    Windows, // also drives, streams, devices (CON, COM1.txt, ...), wildcards, control
             // characters, and a trailing dot or space, which the system drops
};
// The rules of the system this program runs on.
extern const PcNameRules kPcNameRules;

// A name the device gave (8-bit) whose PC name may be used as one level of a PC path under
// Rules: nothing that climbs out of the chosen folder, names another level, another drive or a
// device, or would be stored under another name.
bool SafePcName(const std::string& Name, PcNameRules Rules = kPcNameRules);
// The PC name of a device name (8-bit text, Latin-1): "caf\xE9.txt" is café.txt.
std::filesystem::path PcNameOf(const std::string& DeviceName);
// The device name (8-bit) of a PC file's name; raises "Cannot open file ..." when the name has
// characters the device cannot store.
std::string DeviceNameOf(const std::filesystem::path& PcPath);
// A path as messages show it.
std::string ShownPath(const std::filesystem::path& PcPath);

// The whole file; raises "Cannot open file \"PATH\". REASON" when it cannot be read, is a folder,
// or is larger than the device's signed 32-bit length field can announce.
std::string ReadPcFile(const std::filesystem::path& PcPath);
// A device time stamp (the PC's local time, as the device keeps it) as a time_t; -1 when it is
// no time the PC can tell.
std::time_t TimeOf(const DateTime& Stamp);
// Makes the folders it needs, writes Content to a new file beside the target and puts it in place
// only when every byte is on the disk, with the device's time stamp (local time, two-second
// steps) and, when it replaces a file, that file's permission bits. Raises "Cannot create file
// \"PATH\". REASON"; an old file at the target is then left as it was.
void WritePcFile(const std::filesystem::path& PcPath, const std::string& Content,
                 const std::optional<DateTime>& Stamp);

} // namespace kv
