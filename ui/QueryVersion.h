// TVersionReader: the version strings of a program file. The program carries its version data as a
// marked block inside its own file (see VersionData.h); the reader finds the block in the file it
// is given and looks strings up by key in the fixed string block "080904E4".
#pragma once

#include <string>
#include <utility>
#include <vector>

class TVersionReader {
  public:
    explicit TVersionReader(const std::string& FileName);

    std::string GetString(const std::string& Key) const;

    std::string FileVersion = "?";
    std::string FileDate = "?";
    std::string FileDescription = "?";
    std::string LegalCopyright = "\xA9 ?";
    bool Valid = false;

  private:
    std::string buffer_; // the version data, copied out of the file
};

// The mark that opens the version data in a program file. The data is: the mark, six decimal
// digits giving the length of the entries, then the entries, each "\StringFileInfo\<block>\<key>",
// NUL, the value, NUL. Values are 8-bit text (code page 1252).
std::string VersionDataMark();
// The version data block for the given entries (key path, value).
std::string MakeVersionData(const std::vector<std::pair<std::string, std::string>>& Entries);
