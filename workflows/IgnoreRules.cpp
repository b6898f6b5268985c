#include "IgnoreRules.h"

#include <string_view>

namespace kv {

namespace {

// A bracket class at the start of Glob ("[...]"): whether c is in it, and how long it is; length
// 0 when the bracket is not closed (then it is an ordinary character).
bool InClass(std::string_view Glob, char c, size_t& Length) {
    size_t i = 1;
    const bool negated = i < Glob.size() && (Glob[i] == '!' || Glob[i] == '^');
    if (negated) ++i;
    bool found = false;
    for (bool first = true; i < Glob.size() && (first || Glob[i] != ']'); first = false) {
        char low = Glob[i];
        if (low == '\\' && i + 1 < Glob.size()) low = Glob[++i];
        char high = low;
        if (i + 2 < Glob.size() && Glob[i + 1] == '-' && Glob[i + 2] != ']') {
            high = Glob[i + 2];
            if (high == '\\' && i + 3 < Glob.size()) high = Glob[i + 3], ++i;
            i += 2;
        }
        found = found || (c >= low && c <= high);
        ++i;
    }
    if (i >= Glob.size()) {
        Length = 0;
        return false;
    }
    Length = i + 1;
    return found != negated && c != '/';
}

bool Match(std::string_view g, std::string_view s, bool levelStart) {
    while (!g.empty()) {
        if (g.substr(0, 2) == "**" && levelStart && (g.size() == 2 || g[2] == '/')) {
            if (g.size() == 2) return true; // "a/**": everything below
            const std::string_view rest = g.substr(3);
            if (Match(rest, s, true)) return true; // no level at all
            for (size_t i = 0; i < s.size(); ++i)
                if (s[i] == '/' && Match(rest, s.substr(i + 1), true)) return true;
            return false;
        }
        const char c = g[0];
        if (c == '*') {
            while (!g.empty() && g[0] == '*')
                g.remove_prefix(1);
            for (size_t i = 0;; ++i) {
                if (Match(g, s.substr(i), false)) return true;
                if (i == s.size() || s[i] == '/') return false;
            }
        }
        if (s.empty()) return false;
        size_t length = 0;
        const bool inClass = c == '[' && InClass(g, s[0], length);
        if (c == '?') {
            if (s[0] == '/') return false;
            g.remove_prefix(1);
        } else if (length > 0) {
            if (!inClass) return false;
            g.remove_prefix(length);
        } else {
            const bool escaped = c == '\\' && g.size() > 1;
            if ((escaped ? g[1] : c) != s[0]) return false;
            g.remove_prefix(escaped ? 2 : 1);
        }
        levelStart = s[0] == '/';
        s.remove_prefix(1);
    }
    return s.empty();
}

} // namespace

bool GlobMatch(const std::string& Glob, const std::string& Path) {
    return Match(Glob, Path, true);
}

TIgnoreRules::TIgnoreRules() {
    for (const char* pattern : {".git/", ".kvbignore", "*~", ".*.swp", "*.kvb-*.part"})
        Add(pattern);
}

void TIgnoreRules::AddLines(const std::string& Text) {
    size_t start = 0;
    while (start <= Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos) end = Text.size();
        std::string line = Text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Add(line);
        start = end + 1;
    }
}

void TIgnoreRules::Add(const std::string& Pattern) {
    std::string text = Pattern;
    // Trailing spaces go, unless the last one is written "\ ".
    while (!text.empty() && text.back() == ' ' &&
           !(text.size() >= 2 && text[text.size() - 2] == '\\'))
        text.pop_back();
    if (text.empty() || text[0] == '#') return;
    Rule rule;
    if (text[0] == '!') {
        rule.Negated = true;
        text.erase(0, 1);
    } else if (text[0] == '\\' && text.size() > 1 && (text[1] == '!' || text[1] == '#')) {
        text.erase(0, 1);
    }
    if (!text.empty() && text.back() == '/') {
        rule.DirectoryOnly = true;
        text.pop_back();
    }
    // A "/" at the start or in the middle ties the pattern to the folder's top; otherwise it is
    // a name matched at any level.
    rule.Anchored = text.find('/') != std::string::npos;
    if (!text.empty() && text[0] == '/') text.erase(0, 1);
    if (text.empty()) return;
    rule.Glob = text;
    rules_.push_back(rule);
}

bool TIgnoreRules::Matches(const std::string& Path, bool Directory) const {
    const size_t slash = Path.rfind('/');
    const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
    bool ignored = false;
    for (const auto& rule : rules_) {
        if (rule.DirectoryOnly && !Directory) continue;
        if (GlobMatch(rule.Glob, rule.Anchored ? Path : name)) ignored = !rule.Negated;
    }
    return ignored;
}

bool TIgnoreRules::Ignored(const std::string& Path, bool Directory) const {
    for (size_t slash = Path.find('/'); slash != std::string::npos;
         slash = Path.find('/', slash + 1))
        if (Matches(Path.substr(0, slash), true)) return true;
    return Matches(Path, Directory);
}

} // namespace kv
