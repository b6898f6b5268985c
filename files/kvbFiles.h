// TkvbFiles: the device file service. Drives the device's file commands over the console and turns
// their replies into values: listings, file contents, and the results of changing commands.
#pragma once

#include "device/Errors.h"
#include "device/kvComms.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// A calendar date and time to the second.
struct DateTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    bool operator==(const DateTime&) const = default;
};

// One entry of a device directory listing.
struct DeviceDirEntry {
    std::string Name;
    int32_t Size = 0;
    uint8_t Attr = 0;
    std::optional<DateTime> Created;
    std::optional<DateTime> Stamp2;
    std::optional<DateTime> Stamp3;
};

constexpr uint8_t faReadOnly = 0x01;
constexpr uint8_t faHidden = 0x02;
constexpr uint8_t faDirectory = 0x10;
constexpr uint8_t faArchive = 0x20;

// Whether a listed entry is a directory: its attribute flag, and nothing else.
bool IsDirectory(const DeviceDirEntry& Entry);
// The browser's order of names (8-bit): letters without regard to case first; names that differ
// only in case put the lower-case form first.
bool CaptionLess(const std::string& A, const std::string& B);
// Entries in the browser's order of their names.
void SortEntries(std::vector<DeviceDirEntry>& Entries);

// Cuts the first TAB-separated field off Line.
std::string NextField(std::string& Line);
// A packed FAT date and time as decimal text; none for empty, "0", non-numbers, values outside the
// signed 32-bit range and invalid dates.
std::optional<DateTime> DecodePackedDate(const std::string& Text);
// A signed 32-bit decimal integer; raises "'%s' is not a valid integer value" otherwise.
int32_t StrToInt(const std::string& Text);
// False when Text is not a signed 32-bit decimal integer.
bool TryStrToInt(const std::string& Text, int32_t& Value);

// Why Text cannot go into a device command line as one argument, written as QuotePath writes it
// (Quoted: between double quotes); empty when it can. The console ends a line at CR or LF and
// acts on other control characters, TAB separates a command's fields, and a double quote ends a
// quoted argument (or, at its start, makes the device read an unquoted one as quoted). Name:
// Text is one name, which cannot hold "/" either. The reason reads "a carriage return (CR),
// which would end the command line".
std::string CommandLineRefusal(const std::string& Text, bool Quoted, bool Name = false);
// The number N of a line in the device's result format "N:text" (0 is done, another number a
// refusal); false when the line is not in that format.
bool ResultNumber(const std::string& Line, int32_t& Number);
// 8-bit text for a message: control characters written out as \r, \n, \t and \xNN.
std::string VisibleText(const std::string& Text);

// What the boot loader answered to a firmware image.
struct FirmwareReply {
    bool GoAhead = false; // it asked for the content ("Send file")
    std::string Text;     // its answer line when it did not; else its text after the content
};

class TkvbFiles {
  public:
    using TDoneEvent = std::function<void(TkvbFiles* Sender)>;
    using TProgressEvent = std::function<void(TkvbFiles* Sender, int32_t Position, int32_t Total)>;

    static constexpr int kSliceSize = 4096;

    explicit TkvbFiles(TkvTerminal& terminal) : Terminal(terminal) {}
    TkvbFiles(const TkvbFiles&) = delete;
    TkvbFiles& operator=(const TkvbFiles&) = delete;

    // Listing. True when the device answered with a listing; Lines then holds what arrived, which
    // is the whole folder only when ListingComplete says so.
    bool ListDirectory(const std::string& Path, std::vector<std::string>& Lines);
    // Whether the last listing ended as a listing ends: its empty end-of-entries line and then the
    // prompt end arrived, with the link up all the while. A cut listing is never the whole folder.
    bool ListingComplete() const { return listingComplete_; }
    static DeviceDirEntry ParseDirEntry(const std::string& Line);
    static std::string AttrToStr(uint8_t Attr);
    std::string QuotePath(const std::string& Path) const;
    void DiscardInput();
    std::string ReadLine(int Timeout);

    // Transfer
    bool ReadFile(const std::string& Path, std::string& Content);
    // True when every slice went and the device did not refuse the content. Its line after the
    // content decides only in the device's result format: "0:..." (then WriteConfirmed) or
    // "N:text" with another N, a refusal kept as LastReply. Other words, or no line in time,
    // leave it to a listing (WriteAnswer keeps the words).
    bool WriteFile(const std::string& Path, const std::string& Content);
    // Whether the device confirmed the last write with "0:No error" after its content.
    bool WriteConfirmed() const { return writeConfirmed_; }
    // The line the device gave after the last write's content, whatever it said.
    const std::string& WriteAnswer() const { return writeAnswer_; }
    // Whether the last write got the device's go-ahead, so that content went (or began to go).
    bool WriteStarted() const { return writeStarted_; }
    // True when the boot loader asked for the image and every slice went without it breaking in.
    // Reply (when given) receives what it answered.
    bool LoadFirmware(const std::string& Name, const std::string& Content,
                      FirmwareReply* Reply = nullptr);

    // Management
    bool MakeDirectory(const std::string& Path);
    bool WipeDirectory(const std::string& Path);
    bool DeleteFile(const std::string& Path);
    bool RenameFile(const std::string& OldPath, const std::string& NewName);

    // Why a path (Name: the new name of a rename) cannot be sent under QuotePaths, as
    // LastRefusal gives it; empty when it can.
    std::string PathRefusal(const std::string& Path) const;
    std::string NameRefusal(const std::string& Name) const;
    // Why the last command was not sent at all: a path or name that cannot go into a command
    // line ("not sent: ..."); empty when it was sent. The device's own words are in LastReply.
    const std::string& LastRefusal() const { return Refusal; }

    // What the device said when it refused the last command that failed before its content or
    // without "0:No error": the header or reply line as it came (empty when nothing came).
    const std::string& LastReply() const { return Reply; }
    // True when input reports from the device were dropped while the last command ran: what it
    // read may lack bytes, so it failed, whatever the device said.
    bool InputLost() const { return Lost; }
    // True when the last download brought more than the length its header announced: it failed.
    bool ContentOverran() const { return Surplus; }

    TkvTerminal& Terminal;
    TDoneEvent OnDone;
    TProgressEvent OnProgress;
    bool QuotePaths = false;
    bool Busy = false;

  private:
    class Command;
    static std::string LastLine(const std::string& Text);
    // Brings the console back to a clean prompt after an exchange that did not end as expected:
    // what the device still sends is read until it falls silent and dropped, then ESC asks for a
    // fresh prompt. Stale bytes of one command never become the reply of the next.
    void DrainToPrompt();
    // One reply line; false when it ended by silence rather than CR LF.
    bool ReadWholeLine(int Timeout, std::string& Line);
    std::string Reply;
    bool listingComplete_ = false;
    bool writeConfirmed_ = false;
    bool writeStarted_ = false;
    std::string writeAnswer_;
    bool unsettled_ = false; // the command under way did not end as expected
    bool Lost = false;
    bool Surplus = false;
    std::string Refusal;
    // Keeps the reason (and clears LastReply) when Path, or NewName as a name, cannot be sent.
    bool Refuses(const std::string& Path, const std::string* NewName = nullptr);
    bool SendContent(const std::string& Content, int ProbeBytes, bool StopOnAnyByte);
    bool Management(const std::string& Line, int ReplyWait, bool Guard);
    void Progress(int32_t Position, int32_t Total);
    void Done();
};

} // namespace kv
