// Device names as one level of a PC path: what each system's rules let through.
#include "workflows/PcFiles.h"

#include <gtest/gtest.h>

namespace {

using kv::PcNameRules;

TEST(PcNames, EachSystemRefusesWhatWouldLeaveTheFolderOrReachADevice) {
    struct Case {
        std::string name;
        bool posix, windows;
    };
    const Case cases[] = {
        {"readme.txt", true, true},
        {"caf\xE9.txt", true, true},
        {".hidden", true, true},
        {"a b.txt", true, true},
        {"CONSOLE", true, true},
        {"COM10", true, true},
        {"xCON", true, true},
        {"nul_", true, true},
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {"../up", false, false},
        {"a\\b", false, false},
        {std::string("a\0b", 3), false, false},
        // Another drive, or a stream of the folder: "folder / C:x" is C:x.
        {"C:x", true, false},
        {"x:", true, false},
        {"a::$DATA", true, false},
        // Devices, in any case and with any extension.
        {"CON", true, false},
        {"nul", true, false},
        {"Aux.log", true, false},
        {"PRN.tar.gz", true, false},
        {"COM1.txt", true, false},
        {"com9", true, false},
        {"LPT1", true, false},
        {"lpt0.x", true, false},
        {"CON .txt", true, false},
        {"CONIN$", true, false},
        {"conout$.log", true, false},
        {"COM\xB9", true, false}, // superscript one
        {"lpt\xB3.txt", true, false},
        // Wildcards, quotes, redirections and control characters.
        {"a*b", true, false},
        {"a?b", true, false},
        {"say \"hi\"", true, false},
        {"a<b", true, false},
        {"a>b", true, false},
        {"a|b", true, false},
        {"tab\there", true, false},
        {"ctl\x01", true, false},
        {"\x1F", true, false},
        // Stored without the trailing dot or space, under another name.
        {"trail.", true, false},
        {"trail ", true, false},
        {"...", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kv::SafePcName(c.name, PcNameRules::Posix), c.posix) << c.name;
        EXPECT_EQ(kv::SafePcName(c.name, PcNameRules::Windows), c.windows) << c.name;
    }
}

TEST(PcNames, TheRulesAreThoseOfTheSystemItRunsOn) {
#ifdef _WIN32
    EXPECT_FALSE(kv::SafePcName("C:x"));
    EXPECT_FALSE(kv::SafePcName("con.txt"));
#else
    EXPECT_TRUE(kv::SafePcName("C:x"));
    EXPECT_TRUE(kv::SafePcName("con.txt"));
#endif
}

} // namespace
