// What the shared workflows need of the program that runs them: somewhere to print their messages,
// someone to ask, a place to show progress, and a way to learn that the user wants to stop. The
// window shows messages in its terminal pane and asks with message boxes; kvb prints them and takes
// its answers from its options.
#pragma once

#include <filesystem>
#include <string>

namespace kv {

// Failure: a line that says something was not done; a window sets it apart from the rest.
enum class MessageStyle { Regular, Bold, Italic, Failure };

enum class Answer { Yes, No, Cancel };

class IWorkHost {
  public:
    virtual ~IWorkHost() = default;
    // A program message: 8-bit text with CR LF line ends, as the terminal pane shows it.
    virtual void Print(const std::string& Text, MessageStyle Style) = 0;
    // A question with Yes, No and (when Cancel is offered) Cancel.
    virtual Answer Ask(const std::string& Question, const std::string& Caption, bool OfferCancel) {
        (void)Question, (void)Caption, (void)OfferCancel;
        return Answer::Yes;
    }
    // A file that was not moved, and why; also counted in the workflow's NotMoved, which kvb
    // reports at the end.
    virtual void Failed(const std::string& Text) {
        Print(" " + Text + "\r\n", MessageStyle::Failure);
    }
    // An upload of Name (8-bit), Size bytes, to the device path Target begins.
    virtual void UploadStarted(const std::string& Name, size_t Size, const std::string& Target) {
        Print(Name, MessageStyle::Bold);
        Print("\r\n " + std::to_string(Size) + " > " + Target + "\r\n", MessageStyle::Italic);
    }
    // Save to PC has written its Count-th file (or is about to look at the next one).
    virtual void SavedCount(int Count) { (void)Count; }
    // True once the user has asked to stop; checked only where stopping is safe for the device
    // and the user's files: between files, never inside one.
    virtual bool CancelRequested() { return false; }
    // One file was moved whole: downloaded to PcPath (ToPc) or uploaded from it.
    virtual void FileMoved(const std::string& DevicePath, const std::filesystem::path& PcPath,
                           bool ToPc) {
        (void)DevicePath, (void)PcPath, (void)ToPc;
    }
    // The link was closed and opened again by a workflow (a device restart): the identity and
    // the features may have changed.
    virtual void LinkRestarted() {}
};

} // namespace kv
