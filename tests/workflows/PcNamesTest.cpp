// Device names as one level of a PC path: what each system's rules let through; and how a
// downloaded file is put on the PC.
#include "workflows/PcFilePlatform.h"
#include "workflows/PcFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

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

// A replaced file keeps its permission bits; the file written beside it is always a new one, so
// neither a file nor a link planted under its name is written through.
TEST(PcFiles, AReplacedFileKeepsItsModeAndNothingThereIsWrittenThrough) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("kv-pcfiles-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const auto slurp = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    bool existed = false;
    std::string why;
#ifndef _WIN32
    std::ofstream(dir / "a.txt") << "old";
    const auto mode = fs::perms::owner_read | fs::perms::group_read;
    fs::permissions(dir / "a.txt", mode);
    kv::WritePcFile(dir / "a.txt", "new", std::nullopt);
    EXPECT_EQ(slurp(dir / "a.txt"), "new");
    EXPECT_EQ(fs::status(dir / "a.txt").permissions(), mode);
    fs::permissions(dir / "a.txt", fs::perms::owner_all);
    std::ofstream(dir / "victim") << "precious";
    fs::create_symlink(dir / "victim", dir / "planted");
    EXPECT_FALSE(kv::WriteNewPcFile(dir / "planted", "evil", existed, why));
    EXPECT_TRUE(existed) << why;
    EXPECT_EQ(slurp(dir / "victim"), "precious");
#endif
    std::ofstream(dir / "there") << "kept";
    EXPECT_FALSE(kv::WriteNewPcFile(dir / "there", "x", existed, why));
    EXPECT_TRUE(existed);
    EXPECT_EQ(slurp(dir / "there"), "kept");
    fs::remove_all(dir);
}

} // namespace
