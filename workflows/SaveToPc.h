// Save to PC: device files and trees copied into a PC folder, each file whole or not at all, with
// the device's stamps; names that would leave the folder or that the folder takes for one are
// refused and named.
#pragma once

#include "DeviceVerbs.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kv {

class TSaveToPc : public TVerbsJob {
  public:
    TSaveToPc(TDeviceVerbs& verbs, TWorkState& state) : TVerbsJob(verbs, state) {}

    // Files written by this Save to PC so far (the count the window shows).
    int SavedCount = 0;
    // Files that exist on the PC already are kept as they are (kvb get --no-clobber).
    bool NoClobber = false;

    // Starts a new Save to PC: the count, the failures and the cancel state start afresh.
    void BeginSave();
    // Writes one downloaded file (see WritePcFile) and counts it.
    bool SaveToPcFile(const std::filesystem::path& PcPath, const std::string& Content,
                      const std::optional<DateTime>& Stamp);
    // Downloads one file of DeviceFolder into PcFolder under its own name.
    bool SaveFileToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                      const DeviceDirEntry& Entry);
    // The tree DeviceFolder/DirName into PcFolder/DirName: its files, then each subtree in
    // listing order. Names that would leave the folder are refused with a message.
    void SaveDirectoryToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                           const std::string& DirName);
    // Save to PC of a selection of DeviceFolder: first its files, then its directory trees.
    void SaveToPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                  const std::vector<DeviceDirEntry>& Files, const std::vector<std::string>& Dirs);

  private:
    void SaveSelection(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                       const std::vector<DeviceDirEntry>& Selected,
                       const std::vector<std::string>& Dirs);
    bool Unsafe(const std::string& Name, const std::string& Where);
    // True, after naming it, when Name differs only in case from a name of Saved (lower-cased
    // name -> the name saved) that PcFolder already holds under Name as well.
    bool FoldedOnPc(const std::filesystem::path& PcFolder, const std::string& DeviceFolder,
                    const std::string& Name, std::map<std::string, std::string>& Saved);
};

} // namespace kv
