// Text typed or pasted into the device console.
#pragma once

#include <string>
#include <vector>

namespace kv {

class TkvComms;

// The console output waiting on channel 0: one read that waits up to 10 ms, then every report
// already there. Empty when nothing came.
std::string PollConsole(TkvComms& comms);

// What the link has dropped of the device's input so far, as one line for the user (the total,
// then where); empty when nothing was dropped.
std::string LostReportsText(const TkvComms& comms);

// Line ends as the device's console takes them: a lone LF or a lone CR becomes CR LF; a CR LF
// already there stays as it is.
std::string ToConsoleLineEnds(const std::string& text);

// The device's prompt in console output that comes in pieces, one poll at a time: whether the
// text is inside a prompt (between 0xAB and 0xBB) and whether the last whole prompt asked for a
// password, kept from one piece to the next so that a prompt split over two polls counts whole.
class TConsolePrompt {
  public:
    struct Run {
        std::string Text;
        bool Prompt = false;
    };
    // Data as runs outside and inside the prompt, in order, without the marks and without
    // empty runs. Ended: set when a prompt end came in Data.
    std::vector<Run> Feed(const std::string& Data, bool* Ended = nullptr);
    bool InPrompt() const { return inPrompt_; }
    // The last whole prompt held "PASSWORD" (case-sensitive): typed keys then echo as "*".
    bool Password() const { return password_; }

  private:
    bool inPrompt_ = false;
    bool password_ = false;
    bool seen_ = false; // "PASSWORD" came since the last mark
    std::string tail_;  // the last bytes since the last mark, for a word split over two pieces
};

// How a typed key is echoed on the console's screen: the key itself, "*" for a printable key or
// Tab at a password prompt, a line break for CR or LF; empty for a key that shows nothing.
std::string EchoOfKey(char Key, bool Password);

} // namespace kv
