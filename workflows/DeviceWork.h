// The workflows that both front ends run: copying device files and trees to the PC, uploads with
// the proper-place rule, and the firmware sequence. They drive the device only through the file
// service and report through the host (messages, questions, progress, cancel).
#pragma once

#include "VerbResult.h"
#include "WorkHost.h"
#include "files/kvbFiles.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kv {

class TDeviceWork {
  public:
    TDeviceWork(TkvbFiles& files, IWorkHost& host);
    TDeviceWork(const TDeviceWork&) = delete;
    TDeviceWork& operator=(const TDeviceWork&) = delete;

    // ---- Save to PC ----
    // Files written by this Save to PC so far (the count the window shows).
    int SavedCount = 0;
    // What was not moved or loaded whole: the path and why. The window leaves them out silently
    // (its listing afterwards is the user's feedback); kvb reports them and fails.
    std::vector<std::string> NotMoved;
    // Set when a cancel was honoured; the work stopped at a safe point.
    bool Cancelled = false;

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

    // ---- uploads ----
    // The device path a file named Name (8-bit) belongs in when dropped into Base (a device
    // directory with its trailing "/"), or empty when it has no proper place there.
    static std::string ProperPlace(const std::string& Base, const std::string& Name);
    // Uploads one PC file into Base (with its trailing "/"), or into its proper place. A file the
    // device did not take is reported in the terminal and the result is false.
    bool UploadFile(const std::filesystem::path& PcPath, const std::string& Base, bool Proper);
    // Uploads one PC file to the device path Target, saying so in the terminal as UploadFile does.
    bool UploadFileTo(const std::filesystem::path& PcPath, const std::string& Target);

    // ---- firmware ----
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

    // True (and said once) when the user asked to stop; called at the safe points only.
    bool StopHere();

    TkvbFiles& Files;
    TkvTerminal& Terminal;
    TkvComms& Comms;
    IWorkHost& Host;

  private:
    bool Unsafe(const std::string& Name, const std::string& Where);
    bool WaitForRestart(bool BootLoader);
};

} // namespace kv
