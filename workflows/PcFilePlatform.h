// What safe PC writes need of the system they run on: a file made afresh and on the disk before
// it is used, and one step that puts it in the place of another. One implementation per platform
// (linux/, windows/).
#pragma once

#include <filesystem>
#include <string>

namespace kv {

// Makes Path, which must not exist yet (a file that is there is never opened), writes Content
// and returns only when every byte is on the disk. False with the system's text in Why, and
// Existed set when something was at Path already; a file that was made is then removed again.
bool WriteNewPcFile(const std::filesystem::path& Path, const std::string& Content, bool& Existed,
                    std::string& Why);
// Puts From in the place of To in one step (an old file at To is replaced, never missing in
// between) and makes the new name last. False with the system's text in Why.
bool ReplacePcFile(const std::filesystem::path& From, const std::filesystem::path& To,
                   std::string& Why);

} // namespace kv
