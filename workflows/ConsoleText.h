// Text typed or pasted into the device console.
#pragma once

#include <string>

namespace kv {

// Line ends as the device's console takes them: a lone LF or a lone CR becomes CR LF; a CR LF
// already there stays as it is.
std::string ToConsoleLineEnds(const std::string& text);

} // namespace kv
