// Uploads: PC files and folder trees sent to the device through the verbs' one write, with the
// proper-place rule for dropped files; what cannot go is named and the rest goes.
#pragma once

#include "DeviceVerbs.h"

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kv {

class TUploads : public TVerbsJob {
  public:
    TUploads(TDeviceVerbs& verbs, TWorkState& state) : TVerbsJob(verbs, state) {}

    // The device path a file named Name (8-bit) belongs in when dropped into Base (a device
    // directory with its trailing "/"), or empty when it has no proper place there.
    static std::string ProperPlace(const std::string& Base, const std::string& Name);
    // Uploads one PC file into Base (with its trailing "/"), or into its proper place. A file the
    // device did not take is reported in the terminal and the result is false.
    bool UploadFile(const std::filesystem::path& PcPath, const std::string& Base, bool Proper);
    // Uploads one PC file to the device path Target, saying so in the terminal as UploadFile does.
    bool UploadFileTo(const std::filesystem::path& PcPath, const std::string& Target,
                      TargetState OnDevice = TargetState::Unknown);
    // The PC entries among Children whose names differ from another's only in ASCII case: the
    // device may take them for one (as a FAT volume does), so neither goes.
    static std::set<std::filesystem::path>
    CaseTwins(const std::vector<std::filesystem::directory_entry>& Children);
    // For a tree walk: true when the PC entry Child is one of such twins, after naming it (as
    // DevicePath) in NotMoved and to the host; the walk then leaves it out.
    bool SkipCaseTwin(const std::set<std::filesystem::path>& Twins,
                      const std::filesystem::path& Child, const std::string& DevicePath);
    // Uploads the PC folder PcDir with all it holds as the device directory DeviceDir (made
    // where the device lists none), its files counted in the tally as they are found. Links to
    // folders are not followed and no folder is entered twice; what is left out is said. A file
    // whose device path KeepExisting (when set) says to keep is not sent.
    void UploadTree(const std::filesystem::path& PcDir, const std::string& DeviceDir,
                    const std::function<bool(const std::string&)>& KeepExisting = {});

  private:
    // InNew: DeviceDir's parent was made just now, so nothing is there yet.
    void UploadTreeOnce(const std::filesystem::path& PcDir, const std::string& DeviceDir,
                        std::set<std::filesystem::path>& Entered,
                        const std::function<bool(const std::string&)>& KeepExisting,
                        bool InNew = false);
};

} // namespace kv
