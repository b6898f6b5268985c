// The command lines that carry each file verb on the wire, for a device with quoted paths. The
// window's tests and kvb's tests check their own front end against this one table, so the two
// cannot drift apart. Listings that a front end adds around a verb (kvb looks a path up first, the
// window lists again afterwards) are not part of the verb.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kvtest {

// The device holds /a.txt ("alpha") and an empty /Lua; the PC file "u p.lua" holds "12345".
inline const std::map<std::string, std::vector<std::string>>& WireLines() {
    static const std::map<std::string, std::vector<std::string>> lines = {
        {"list /", {"NFDIR @\"\""}},
        {"read /a.txt", {"NFTYPE @\"/a.txt\""}},
        // Written beside the name and renamed into place once whole.
        {"upload u p.lua to /",
         {"NFWRITE \"/u p.lua.kvbnew\"\t5\tw", "NFRENAME \"/u p.lua.kvbnew\" \"u p.lua\""}},
        {"upload u p.lua to its proper place",
         {"NFWRITE \"/Lua/u p.lua.kvbnew\"\t5\tw", "NFRENAME \"/Lua/u p.lua.kvbnew\" \"u p.lua\""}},
        {"rename /a.txt to b.txt", {"NFRENAME \"/a.txt\" \"b.txt\""}},
        {"make directory /New Dir", {"NFMKDIR \"/New Dir\""}},
        {"delete /b.txt", {"NFDEL \"/b.txt\""}},
    };
    return lines;
}

// The lines of a verb without the listings around it.
inline std::vector<std::string> WithoutListings(const std::vector<std::string>& sent) {
    std::vector<std::string> out;
    for (const auto& line : sent)
        if (line.rfind("NFDIR ", 0) != 0) out.push_back(line);
    return out;
}

} // namespace kvtest
