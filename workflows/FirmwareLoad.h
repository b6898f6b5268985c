// Loading firmware: the device restarted into its boot loader, each image sent with its load,
// verify and burn phases followed, and the firmware started again.
#pragma once

#include "WorkState.h"
#include "files/kvbFiles.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kv {

class TFirmwareLoad {
  public:
    TFirmwareLoad(TkvbFiles& files, TWorkState& state);
    TFirmwareLoad(const TFirmwareLoad&) = delete;
    TFirmwareLoad& operator=(const TFirmwareLoad&) = delete;

    // Starts the images after loading them; kvb's --no-run turns it off.
    bool RunAfterFirmware = true;
    // Takes the ".blf" files out of Files and loads them: into the boot loader when needed, each
    // image with its load, verify and burn phases, the second restart for a boot-loader image,
    // then "run".
    bool LoadDroppedFirmware(std::vector<std::filesystem::path>& Files);
    // Restarts the device into its boot loader and waits for it (at most 15 attempts a second).
    bool EnterBootLoader();
    // Sends one image to the boot loader and follows its load, verify and burn phases, showing
    // what it says. Not Done when the image was refused or stopped, a phase said it failed or
    // ended without an answer in time, or the link went down; a bold line names the phase.
    VerbResult UploadBlfFile(const std::filesystem::path& FileName);
    // Hands one image (Name without a directory) to a waiting boot loader and says whether it was
    // taken. Said receives the boot loader's words: its answer after the content, or the line it
    // gave instead of asking for it.
    VerbResult SendImage(const std::string& Name, const std::string& Content, std::string& Said);
    // One line (8-bit) for an image the boot loader did not take: its name, the phase and why.
    static std::string NotTaken(const VerbResult& Result);
    // After "run": waits, as EnterBootLoader does, until the device is back in its application.
    bool WaitForApplication();

  private:
    TkvbFiles& files_;
    TkvTerminal& terminal_;
    TkvComms& comms_;
    TWorkState& state_;
    bool WaitForRestart(bool BootLoader);
};

} // namespace kv
