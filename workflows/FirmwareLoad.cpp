#include "FirmwareLoad.h"

#include "PcFiles.h"
#include "device/Clock.h"
#include "device/DeviceText.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

// The boot loader's words in what one read took: the text after the rest of the prompt that
// came before it, without the line breaks around it.
std::string BootLoaderWords(const std::string& text) {
    const size_t promptEnd = text.rfind(PromptEndMark);
    const std::string words = promptEnd == std::string::npos ? text : text.substr(promptEnd + 1);
    const size_t first = words.find_first_not_of("\r\n");
    if (first == std::string::npos) return {};
    return words.substr(first, words.find_last_not_of("\r\n") - first + 1);
}

// A boot loader says so when a phase fails; its success texts never hold the word.
bool SaysFailed(const std::string& words) {
    return AsciiLower(words).find("fail") != std::string::npos;
}

} // namespace

TFirmwareLoad::TFirmwareLoad(TkvbFiles& files, TWorkState& state)
    : files_(files), terminal_(files.Terminal), comms_(files.Terminal.Comms), state_(state) {}

bool TFirmwareLoad::LoadDroppedFirmware(std::vector<fs::path>& Dropped) {
    std::vector<fs::path> firmware;
    bool bootLoaderImage = false;
    for (size_t i = Dropped.size(); i-- > 0;) {
        const std::string path = AsciiLower(ShownPath(Dropped[i]));
        if (!path.ends_with(".blf")) continue;
        if (path.find("bootloader") != std::string::npos) bootLoaderImage = true;
        firmware.push_back(Dropped[i]);
        Dropped.erase(Dropped.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (firmware.empty()) return true;
    std::string failed; // the images not taken, for the line at the end
    const auto notTaken = [&](const fs::path& file) {
        failed += (failed.empty() ? "" : ", ") + DeviceNameOf(file);
    };
    // An empty image is nothing to load: it is refused before the device restarts for it.
    for (size_t i = firmware.size(); i-- > 0;) {
        std::error_code ec;
        if (fs::file_size(firmware[i], ec) != 0 || ec) continue;
        state_.NotMoved.Add(ShownPath(firmware[i]) + ": the file is empty; nothing to load",
                            Outcome::PcFileError);
        notTaken(firmware[i]);
        firmware.erase(firmware.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (firmware.empty()) {
        state_.Host.Print("Firmware not loaded: " + failed + "\r\n", MessageStyle::Failure);
        return true;
    }
    if (!terminal_.IsBootLoader() && !EnterBootLoader()) {
        state_.NotMoved.Add("the boot loader did not come",
                            terminal_.IsConnected() || state_.Cancelled ? Outcome::Refused
                                                                        : Outcome::DeviceGone);
        for (const auto& file : firmware)
            notTaken(file);
        firmware.clear();
    }
    for (const auto& file : firmware) {
        if (state_.StopHere()) break;
        const VerbResult result = UploadBlfFile(file);
        if (result.Ok()) continue;
        state_.NotMoved.Add(ShownPath(file) + ": the boot loader did not take it (" +
                                result.Detail + ")",
                            result.What);
        notTaken(file);
    }
    if (bootLoaderImage && !state_.Cancelled) EnterBootLoader();
    const auto sayWhatFailed = [&] {
        if (!failed.empty())
            state_.Host.Print("Firmware not loaded: " + failed + "\r\n", MessageStyle::Failure);
    };
    // Cancelled while waiting for the boot loader: there is no link to start anything on.
    if (!RunAfterFirmware || (state_.Cancelled && !terminal_.IsConnected())) {
        sayWhatFailed();
        return true;
    }
    state_.Host.Print("Run firmware...", MessageStyle::Italic);
    terminal_.SendLine("run");
    state_.Host.Print("\r\n", MessageStyle::Italic);
    sayWhatFailed();
    return true;
}

bool TFirmwareLoad::EnterBootLoader() {
    const TSameDevice same(comms_);
    state_.Host.Print("Rebooting...", MessageStyle::Italic);
    terminal_.IsReady();
    terminal_.SendLine("boot");
    Clock().SleepMs(2000);
    comms_.Disconnect();
    return WaitForRestart(true);
}

bool TFirmwareLoad::WaitForApplication() {
    const TSameDevice same(comms_);
    Clock().SleepMs(2000);
    comms_.Disconnect();
    return WaitForRestart(false);
}

bool TFirmwareLoad::WaitForRestart(bool BootLoader) {
    for (int attempt = 0;; ++attempt) {
        if (BootLoader ? terminal_.IsBootLoader()
                       : comms_.IsConnected() && !terminal_.IsBootLoader()) {
            state_.Host.Print("\r\n", MessageStyle::Italic);
            state_.Host.LinkRestarted();
            return true;
        }
        if (attempt == 15) {
            state_.Host.Print("FAILED", MessageStyle::Bold);
            return false;
        }
        if (state_.StopHere()) return false;
        comms_.Disconnect();
        Clock().SleepMs(1000);
        state_.Host.Print(".", MessageStyle::Italic);
        comms_.Connect();
    }
}

std::string TFirmwareLoad::NotTaken(const VerbResult& Result) {
    return Result.Path + ": the boot loader did not take it (" + Result.Detail + ")";
}

VerbResult TFirmwareLoad::SendImage(const std::string& Name, const std::string& Content,
                                    std::string& Said) {
    FirmwareReply reply;
    const bool whole = files_.LoadFirmware(Name, Content, &reply);
    Said = BootLoaderWords(reply.Text);
    if (!files_.LastRefusal().empty())
        return VerbResult::Failed(Outcome::Refused, Name, "load phase: " + files_.LastRefusal());
    const std::string words = Said.empty() ? std::string() : ": " + Said;
    if (!terminal_.IsConnected())
        return VerbResult::Failed(Outcome::DeviceGone, Name, "load phase: the link went down");
    if (files_.InputLost())
        return VerbResult::Failed(Outcome::NotWhole, Name,
                                  "load phase: input from the device was dropped on the way");
    if (!reply.GoAhead)
        return VerbResult::Failed(Outcome::Refused, Name,
                                  "load phase: the boot loader did not ask for the image" +
                                      (Said.empty() ? " within 1 s" : words));
    if (!whole)
        return VerbResult::Failed(Outcome::NotWhole, Name,
                                  "load phase: the boot loader stopped the transfer" + words);
    if (SaysFailed(Said)) return VerbResult::Failed(Outcome::Refused, Name, "load phase" + words);
    return VerbResult::Done(Name);
}

VerbResult TFirmwareLoad::UploadBlfFile(const fs::path& FileName) {
    const std::string name = DeviceNameOf(FileName);
    const std::string content = ReadPcFile(FileName);
    state_.Host.Print("\r\nUpload BLF\r\n", MessageStyle::Italic);
    state_.Host.Print(name, MessageStyle::Bold);
    state_.Host.Print(" / " + std::to_string(content.size()) + "\r\n", MessageStyle::Regular);
    terminal_.IsReady();
    std::string said;
    VerbResult result = SendImage(name, content, said);
    if (!said.empty()) state_.Host.Print(said + "\r\n", MessageStyle::Regular);
    // Every phase is waited for, whatever came before: the boot loader is left as it always is.
    struct Phase {
        const char* Word;
        int WaitMs;
    };
    for (const Phase phase : {Phase{"load", 1000}, Phase{"verify", 7000}, Phase{"burn", 15000}}) {
        state_.Host.Print(std::string(" ") + phase.Word + "\r\n", MessageStyle::Italic);
        std::string text;
        const bool answered = terminal_.ReadToPromptStart(phase.WaitMs, text);
        const std::string words = BootLoaderWords(text);
        if (!words.empty()) state_.Host.Print(words + "\r\n", MessageStyle::Regular);
        if (!result.Ok()) continue;
        const std::string where = std::string(phase.Word) + " phase: ";
        if (!terminal_.IsConnected())
            result = VerbResult::Failed(Outcome::DeviceGone, name, where + "the link went down");
        else if (!answered)
            result = VerbResult::Failed(Outcome::Refused, name,
                                        where + "no answer within " +
                                            std::to_string(phase.WaitMs / 1000) + " s");
        else if (SaysFailed(words))
            result = VerbResult::Failed(Outcome::Refused, name, where + words);
    }
    terminal_.ClearInput();
    if (!result.Ok()) state_.Host.Print(NotTaken(result) + "\r\n", MessageStyle::Failure);
    return result;
}

} // namespace kv
