// Which paths of a synced folder are left alone: the patterns of a .kvbignore file, as people
// write them for their version control (globs, "**", a trailing "/" for directories, "!" to take
// a path back, "#" comments), the --exclude patterns, and a few defaults.
#pragma once

#include <string>
#include <vector>

namespace kv {

class TIgnoreRules {
  public:
    // With the defaults: ".git/", ".kvbignore", editor backups ("*~", ".*.swp") and the files
    // a PC write leaves beside its target while it runs.
    TIgnoreRules();
    // One pattern per line of Text (UTF-8); later lines win over earlier ones.
    void AddLines(const std::string& Text);
    void Add(const std::string& Pattern);
    // Path is relative to the folder, "/"-separated, UTF-8. A path inside an ignored directory is
    // ignored whatever later patterns say, as a re-included file cannot be reached there.
    bool Ignored(const std::string& Path, bool Directory) const;

  private:
    struct Rule {
        std::string Glob;
        bool Negated = false, DirectoryOnly = false, Anchored = false;
    };
    bool Matches(const std::string& Path, bool Directory) const;
    std::vector<Rule> rules_;
};

// A glob over a "/"-separated path: "*" and "?" stay within one level, "[a-z]" and "[!a]" are
// classes, "\" takes the next character as it is, and "**" as a whole level spans any number of
// levels ("**/x", "a/**/x", "a/**").
bool GlobMatch(const std::string& Glob, const std::string& Path);

} // namespace kv
