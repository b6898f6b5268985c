// Text typed or pasted into the device console.
#pragma once

#include <string>

namespace kv {

class TkvComms;

// The console output waiting on channel 0: one read that waits up to 10 ms, then every report
// already there. Empty when nothing came.
std::string PollConsole(TkvComms& comms);

// Line ends as the device's console takes them: a lone LF or a lone CR becomes CR LF; a CR LF
// already there stays as it is.
std::string ToConsoleLineEnds(const std::string& text);

} // namespace kv
