#include "kvbFiles.h"

#include "device/Clock.h"
#include "device/DeviceText.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace kv {

// ---- free functions ----

std::string NextField(std::string& Line) {
    const size_t tab = Line.find('\t');
    std::string field;
    if (tab == std::string::npos) {
        field.swap(Line);
    } else {
        field = Line.substr(0, tab);
        Line.erase(0, tab + 1);
    }
    return field;
}

bool TryStrToInt(const std::string& Text, int32_t& Value) {
    size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) negative = Text[i++] == '-';
    if (i == Text.size()) return false;
    int64_t v = 0;
    for (; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > int64_t(INT32_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    Value = static_cast<int32_t>(v);
    return true;
}

int32_t StrToInt(const std::string& Text) {
    int32_t value = 0;
    if (!TryStrToInt(Text, value)) throw EKvError("'" + Text + "' is not a valid integer value");
    return value;
}

std::string CommandLineRefusal(const std::string& Text, bool Quoted, bool Name) {
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') return "a carriage return (CR), which would end the command line";
        if (c == '\n') return "a line feed (LF), which would end the command line";
        if (c == '\t') return "a TAB, which separates the fields of a command line";
        if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", byte);
            return std::string("the control character ") + code +
                   ", which the device's console would act on";
        }
        if (c == '/' && Name) return "a \"/\", which would make it a path";
        if (c == '"' && Quoted)
            return "a double quote (\"), which would end the quoted argument early";
    }
    if (!Quoted && !Text.empty() && Text[0] == '"')
        return "a double quote (\") at its start, which would make the device read it as quoted";
    return {};
}

bool ResultNumber(const std::string& Line, int32_t& Number) {
    const size_t start = Line.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    const size_t colon = Line.find(':', start);
    return colon != std::string::npos && colon > start &&
           TryStrToInt(Line.substr(start, colon - start), Number);
}

std::string VisibleText(const std::string& Text) {
    return EscapeControls(Text, TextForm::EightBit, LineEnds::Named);
}

namespace {

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace

std::optional<DateTime> DecodePackedDate(const std::string& Text) {
    if (Text.empty() || Text == "0") return std::nullopt;
    int32_t value = 0;
    if (!TryStrToInt(Text, value) || value == 0) return std::nullopt;
    const auto bits = static_cast<uint32_t>(value);
    DateTime t;
    t.Year = static_cast<int>(bits >> 25) + 1980;
    t.Month = static_cast<int>(bits >> 21 & 0x0F);
    t.Day = static_cast<int>(bits >> 16 & 0x1F);
    t.Hour = static_cast<int>(bits >> 11 & 0x1F);
    t.Minute = static_cast<int>(bits >> 5 & 0x3F);
    t.Second = static_cast<int>(bits & 0x1F) * 2;
    if (t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > DaysInMonth(t.Year, t.Month) ||
        t.Hour > 23 || t.Minute > 59 || t.Second > 59)
        return std::nullopt;
    return t;
}

bool IsDirectory(const DeviceDirEntry& Entry) {
    return (Entry.Attr & faDirectory) != 0;
}

namespace {

// An 8-bit (Latin-1) character without its case: A-Z and the accented capitals fold down.
unsigned char Folded(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
    return c;
}

bool IsLower(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 0xDF && c != 0xF7);
}

} // namespace

bool CaptionLess(const std::string& A, const std::string& B) {
    const auto a = reinterpret_cast<const unsigned char*>(A.data());
    const auto b = reinterpret_cast<const unsigned char*>(B.data());
    const size_t common = std::min(A.size(), B.size());
    for (size_t i = 0; i < common; ++i)
        if (Folded(a[i]) != Folded(b[i])) return Folded(a[i]) < Folded(b[i]);
    if (A.size() != B.size()) return A.size() < B.size();
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i]) return IsLower(a[i]) && !IsLower(b[i]);
    return false;
}

void SortEntries(std::vector<DeviceDirEntry>& Entries) {
    std::stable_sort(Entries.begin(), Entries.end(),
                     [](const auto& a, const auto& b) { return CaptionLess(a.Name, b.Name); });
}

// ---- the frame shared by every command ----

// Steps 1 to 3 of every command: connected, not busy (unless the command skips the guard), and
// a fresh prompt. Busy is released on every way out, an error included. Input reports dropped
// while the command runs make it fail (Whole) and are noted on every way out (InputLost).
class TkvbFiles::Command {
  public:
    Command(TkvbFiles& files, bool guard)
        : files_(files), drops_(files.Terminal.Comms.ConsoleDrops()) {
        files.Reply.clear();
        files.unsettled_ = false;
        files.Lost = false;
        files.Surplus = false;
        if (!files.Terminal.IsConnected()) return;
        if (guard) {
            if (files.Busy) return;
            files.Busy = true;
            owner_ = true;
        }
        ok_ = true;
        files.Terminal.IsReady(); // for its effect: the console stands right after a prompt
    }
    ~Command() {
        if (ok_ && Dropped()) {
            // What the device said may lack bytes: it is drained as after any other upset.
            files_.Lost = true;
            files_.unsettled_ = true;
        }
        if (ok_ && files_.unsettled_) files_.DrainToPrompt();
        if (owner_) files_.Busy = false;
    }
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    explicit operator bool() const { return ok_; }
    // The command's result, false when input was dropped while it ran.
    bool Whole(bool result) const { return result && !Dropped(); }

  private:
    bool Dropped() const { return files_.Terminal.Comms.ConsoleDrops() != drops_; }
    TkvbFiles& files_;
    const uint64_t drops_;
    bool owner_ = false;
    bool ok_ = false;
};

std::string TkvbFiles::QuotePath(const std::string& Path) const {
    if (QuotePaths) return '"' + Path + '"';
    std::string out = Path;
    std::replace(out.begin(), out.end(), ' ', '_');
    return out;
}

std::string TkvbFiles::PathRefusal(const std::string& Path) const {
    const std::string why = CommandLineRefusal(Path, QuotePaths);
    return why.empty() ? why : "not sent: the path holds " + why;
}

std::string TkvbFiles::NameRefusal(const std::string& Name) const {
    const std::string why = CommandLineRefusal(Name, QuotePaths, true);
    return why.empty() ? why : "not sent: the name \"" + VisibleText(Name) + "\" holds " + why;
}

bool TkvbFiles::Refuses(const std::string& Path, const std::string* NewName) {
    Refusal = PathRefusal(Path);
    if (Refusal.empty() && NewName) Refusal = NameRefusal(*NewName);
    if (Refusal.empty()) return false;
    Reply.clear();
    Lost = false;
    return true;
}

void TkvbFiles::DiscardInput() {
    std::string piece;
    do {
        Terminal.ReadBytes(16, 20, piece);
    } while (!piece.empty());
}

bool TkvbFiles::ReadWholeLine(int Timeout, std::string& Line) {
    return Terminal.ReadUntil("\r\n", "\r\n", Line, Timeout);
}

void TkvbFiles::DrainToPrompt() {
    unsettled_ = false;
    Terminal.Pending.clear();
    if (!Terminal.IsConnected()) return;
    // Whatever the device still sends for the command that went wrong (the rest of a file, a
    // listing's tail, a late result) is read until 200 ms pass without a byte. A device that
    // never falls silent is given up on after 30 s; the next command's frame still stands.
    const int64_t giveUp = Clock().NowMs() + 30000;
    std::string piece;
    do {
        Terminal.Comms.ReadMessage(kConsoleChannel, 200, piece);
    } while (!piece.empty() && Terminal.IsConnected() && Clock().NowMs() < giveUp);
    if (!Terminal.IsConnected()) return;
    Terminal.SendText(std::string(1, EscapeKey));
    std::string dropped;
    Terminal.ReadToPromptEnd(1000, dropped);
}

std::string TkvbFiles::ReadLine(int Timeout) {
    std::string line;
    Terminal.ReadUntil("\r\n", "\r\n", line, Timeout);
    return line;
}

std::string TkvbFiles::LastLine(const std::string& Text) {
    size_t end = Text.find_last_not_of("\r\n");
    if (end == std::string::npos) return {};
    const size_t start = Text.find_last_of("\r\n", end);
    return Text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

void TkvbFiles::Progress(int32_t Position, int32_t Total) {
    if (OnProgress) OnProgress(this, Position, Total);
}

void TkvbFiles::Done() {
    if (OnDone) OnDone(this);
}

// ---- listing ----

bool TkvbFiles::ListDirectory(const std::string& Path, std::vector<std::string>& Lines) {
    listingComplete_ = false;
    if (Refuses(Path)) return false;
    Command command(*this, true);
    if (!command) return false;
    std::string dropped;
    Terminal.ReadToPromptEnd(100, dropped);
    Terminal.SendLine("NFDIR @" + QuotePath(Path));
    Lines.clear();
    std::string header;
    const bool headerWhole = ReadWholeLine(1000, header);
    if (header.find("Directory of") == std::string::npos) {
        // Not a listing: the device's own words, or nothing at all. What else it sends is
        // dropped now, so that it cannot be read as the reply of the next command.
        Reply = header;
        unsettled_ = !headerWhole;
        return false;
    }
    bool ended = false; // the empty line that ends the entries came
    for (;;) {
        std::string line;
        const bool whole = ReadWholeLine(1000, line);
        if (!Terminal.IsConnected()) break;
        if (line.empty()) {
            ended = whole;
            break;
        }
        Lines.push_back(std::move(line));
    }
    const bool prompt = ended && Terminal.ReadToPromptEnd(100, dropped);
    if (ended) Terminal.ReadToPromptEnd(100, dropped);
    listingComplete_ = prompt && Terminal.IsConnected();
    unsettled_ = !listingComplete_;
    return command.Whole(true);
}

DeviceDirEntry TkvbFiles::ParseDirEntry(const std::string& Line) {
    std::string rest = Line;
    DeviceDirEntry entry;
    entry.Name = NextField(rest);
    entry.Size = StrToInt(NextField(rest));
    entry.Attr = static_cast<uint8_t>(StrToInt(NextField(rest)) & 0xFF);
    entry.Created = DecodePackedDate(NextField(rest));
    entry.Stamp2 = DecodePackedDate(NextField(rest));
    entry.Stamp3 = DecodePackedDate(NextField(rest));
    return entry;
}

std::string TkvbFiles::AttrToStr(uint8_t Attr) {
    if (Attr & faDirectory) return "<DIR>";
    std::string text;
    if (Attr & faArchive) text += 'A';
    if (Attr & faReadOnly) text += 'R';
    if (Attr & faHidden) text += 'H';
    return text;
}

// ---- transfer ----

bool TkvbFiles::ReadFile(const std::string& Path, std::string& Content) {
    if (Refuses(Path)) return false;
    Command command(*this, true);
    if (!command) return false;
    DiscardInput();
    Terminal.SendLine("NFTYPE @" + QuotePath(Path));
    std::string header;
    const bool headerWhole = ReadWholeLine(10000, header);
    if (header.find('\t') == std::string::npos) {
        Reply = header;
        unsettled_ = !headerWhole;
        return false;
    }
    NextField(header);
    // Until the content and the prompt after it are read, what is left is not this reply's end.
    unsettled_ = true;
    const int32_t length = StrToInt(NextField(header));
    // A negative length is a refusal, not an empty file.
    if (length < 0) return false;

    Content.clear();
    bool complete = true;
    int32_t remaining = length;
    std::string slice;
    while (remaining > 0) {
        const int32_t size = std::min<int32_t>(kSliceSize, remaining);
        Terminal.ReadBytes(size, 2000, slice);
        if (slice.empty()) {
            // Cut short: the partial content is dropped and the download reported as failed, so
            // that nobody takes an empty result for the file; the rest it may still send is
            // drained before the next command.
            Content.clear();
            complete = false;
            break;
        }
        remaining -= size;
        Progress(length - remaining, length);
        Content += slice;
    }
    Done();
    std::string dropped;
    const bool prompt = complete && Terminal.ReadToPromptEnd(100, dropped);
    // After the announced bytes the device sends a line break and its prompt. Anything else
    // before the prompt is content the count did not cover: bytes came twice or out of turn on
    // the way, so what was taken is not the file.
    const std::string trailer = dropped.substr(0, dropped.find(PromptStartMark));
    if (complete && trailer.find_first_not_of("\r\n") != std::string::npos) {
        Content.clear();
        complete = false;
        Surplus = true;
    }
    unsettled_ = !complete || !prompt;
    return command.Whole(complete);
}

bool TkvbFiles::SendContent(const std::string& Content, int ProbeBytes, bool StopOnAnyByte) {
    const auto total = static_cast<int32_t>(Content.size());
    int32_t sent = 0;
    std::string probe;
    while (sent < total) {
        const int32_t size = std::min<int32_t>(kSliceSize, total - sent);
        Terminal.SendText(Content.substr(sent, size));
        sent += size;
        // The abort probe never waits: it looks only at what the device has already said.
        Terminal.ReadBytes(ProbeBytes, 0, probe);
        if (StopOnAnyByte ? !probe.empty() : probe.find(PromptEndMark) != std::string::npos)
            return false;
        Progress(sent, total);
    }
    // A link lost on the way means the content did not arrive, whatever was "sent".
    return Terminal.IsConnected();
}

namespace {

void CheckLength(const std::string& Content) {
    if (Content.size() > static_cast<size_t>(INT32_MAX))
        throw EKvError("The file is too large for the device: " + std::to_string(Content.size()) +
                       " bytes (at most " + std::to_string(INT32_MAX) + ").");
}

} // namespace

bool TkvbFiles::WriteFile(const std::string& Path, const std::string& Content) {
    writeConfirmed_ = false;
    writeStarted_ = false;
    writeAnswer_.clear();
    if (Refuses(Path)) return false;
    CheckLength(Content);
    Command command(*this, true);
    if (!command) return false;
    DiscardInput();
    Terminal.SendLine("NFWRITE " + QuotePath(Path) + "\t" + std::to_string(Content.size()) + "\tw");
    const bool goAheadWhole = ReadWholeLine(10000, Reply);
    if (Reply.find("Send file") == std::string::npos) {
        unsettled_ = !goAheadWhole;
        return false;
    }
    Reply.clear();
    writeStarted_ = true;
    const bool sent = SendContent(Content, 256, false);
    Done();
    // The line after the content is the device's to word. Only the device's result format says
    // something for certain: "0:..." is done and "N:text" with another N is a refusal, as the
    // management commands answer. Any other words ("Wrote 5 bytes", "OK", an empty line), or no
    // line in time, leave it to a listing; the words are kept to be quoted then.
    std::string result;
    const bool resultWhole = ReadWholeLine(1000, result);
    std::string dropped;
    const bool prompt = Terminal.ReadToPromptEnd(100, dropped);
    unsettled_ = !sent || !resultWhole || !prompt;
    if (!sent) return false;
    writeAnswer_ = result;
    // A line cut short says nothing for certain, whatever it began with.
    int32_t number = 0;
    const bool marked = resultWhole && ResultNumber(result, number);
    if ((resultWhole && result.find("0:No error") != std::string::npos) ||
        (marked && number == 0)) {
        writeConfirmed_ = true;
        return command.Whole(true);
    }
    if (marked) {
        Reply = result;
        return false;
    }
    return command.Whole(Terminal.IsConnected());
}

bool TkvbFiles::LoadFirmware(const std::string& Name, const std::string& Content,
                             FirmwareReply* Reply) {
    FirmwareReply unused;
    FirmwareReply& reply = Reply ? *Reply : unused;
    reply = {};
    // The image's name goes into the command line as it is, never quoted.
    Refusal = CommandLineRefusal(Name, false, true);
    if (!Refusal.empty()) {
        Refusal = "not sent: the name \"" + VisibleText(Name) + "\" holds " + Refusal;
        return false;
    }
    CheckLength(Content);
    Command command(*this, true);
    if (!command) return false;
    DiscardInput();
    Terminal.SendLine("LOAD " + std::to_string(Content.size()) + " " + Name);
    reply.Text = ReadLine(1000);
    if (reply.Text.find("Send file") == std::string::npos) return false;
    reply.GoAhead = true;
    const bool result = SendContent(Content, 1, true);
    Done();
    Terminal.ReadToPromptStart(20000, reply.Text);
    return command.Whole(result);
}

// ---- management ----

bool TkvbFiles::Management(const std::string& Line, int ReplyWait, bool Guard) {
    Command command(*this, Guard);
    if (!command) return false;
    DiscardInput();
    Terminal.SendLine(Line);
    std::string reply;
    const bool answered = Terminal.ReadToPromptStart(ReplyWait, reply);
    const bool result = reply.find("0:No error") != std::string::npos;
    if (!result) Reply = LastLine(reply);
    std::string dropped;
    unsettled_ = !Terminal.ReadToPromptEnd(100, dropped) || !answered;
    return command.Whole(result);
}

bool TkvbFiles::MakeDirectory(const std::string& Path) {
    if (Refuses(Path)) return false;
    return Management("NFMKDIR " + QuotePath(Path), 2000, true);
}

bool TkvbFiles::WipeDirectory(const std::string& Path) {
    if (Refuses(Path)) return false;
    return Management("NFWIPEDIR " + QuotePath(Path), 20000, true);
}

bool TkvbFiles::DeleteFile(const std::string& Path) {
    if (Refuses(Path)) return false;
    return Management("NFDEL " + QuotePath(Path), 20000, true);
}

bool TkvbFiles::RenameFile(const std::string& OldPath, const std::string& NewName) {
    if (Refuses(OldPath, &NewName)) return false;
    return Management("NFRENAME " + QuotePath(OldPath) + " " + QuotePath(NewName), 1000, false);
}

} // namespace kv
