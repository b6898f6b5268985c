// The editor's round-trip rules: a device file is opened for editing only when the editor can give
// it back byte for byte, and an edited text goes back in the file's own line ends.
#pragma once

#include <string>

namespace kv {

// The file's bytes as editor lines (LF line ends), when they can come back exactly: line ends all
// CR LF or all LF (not mixed, no lone CR) and no NUL byte. CrLf tells which line end the file has;
// Why says what stands in the way otherwise ("it holds NUL bytes", ...).
bool SplitEditorText(const std::string& Bytes, std::string& Plain, bool& CrLf, std::string& Why);
// Editor lines back to the file's bytes in its own line ends; a CR LF in the lines (an editor
// that saves CR LF itself) is one line end.
std::string JoinEditorText(const std::string& Plain, bool CrLf);

} // namespace kv
