// Text typed or pasted into the device console.
#pragma once

#include <string>

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

} // namespace kv
