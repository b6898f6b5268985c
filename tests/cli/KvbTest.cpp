// kvb run as a process against simulated devices on folders of the PC, on virtual time: each
// command's output and exit status, byte-exact round trips, faults and hostile names.
#include "support/WireLines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The simulated devices' words where the device's commands leave them free: the run's dialect.
bool SecondDialect() {
    const char* dialect = std::getenv("KVB_SIM_DIALECT");
    return dialect && std::string(dialect) == "2";
}
std::string DevicePrompt() {
    return SecondDialect() ? "kv:/ $ " : "Kovrin>";
}
std::string PhaseFailed(const std::string& phase) {
    if (SecondDialect()) return phase == "verify" ? "checksum: fail" : "flash write: fail";
    return phase == "verify" ? "Verify FAILED" : "Burn FAILED";
}

struct Result {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

struct Kvb : ::testing::Test {
    fs::path dir, dev, pc;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kvb-test-" + std::to_string(std::random_device{}()));
        dev = dir / "dev";
        pc = dir / "pc";
        fs::create_directories(dev);
        fs::create_directories(pc);
        // The sync records of every kvb this test starts stay in its folder, out of the home.
        ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string env; // more of kvb's environment, as shell words
    // Runs kvb in the test's folder with --simulate dev (unless sim is false).
    Result Run(const std::string& args, const std::string& input = "",
               const std::string& faults = "", bool sim = true) {
        Spit(dir / "stdin", input);
        std::string command = "cd '" + dir.string() +
                              "' && KVB_VIRTUAL_TIME=1 KVB_SIM_TRACE=trace XDG_STATE_HOME='" +
                              (dir / "state").string() + "' ";
        if (!faults.empty()) command += "KVB_SIM_FAULTS='" + faults + "' ";
        command += env + " ";
        command += std::string(KV_KVB_FILE) + (sim ? " --simulate dev " : " ") + args +
                   " <stdin >stdout 2>stderr";
        const int raw = std::system(command.c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = Slurp(dir / "stdout");
        r.err = Slurp(dir / "stderr");
        return r;
    }
    // The command lines of the last run that begin with Verb ("NFWRITE", "NFDEL").
    std::vector<std::string> Sent(const std::string& verb) {
        std::vector<std::string> out;
        std::istringstream in(Slurp(dir / "trace"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind(verb + " ", 0) == 0) out.push_back(line);
        return out;
    }
};

std::string EveryByte(int copies) {
    std::string s;
    for (int i = 0; i < copies; ++i)
        for (int b = 0; b < 256; ++b)
            s += static_cast<char>((b + i) & 0xFF);
    return s;
}

TEST_F(Kvb, ATreeGoesUpAndComesBackByteForByteWithTheDevicesTimeStamps) {
    Spit(pc / "tree/every byte.bin", EveryByte(70));
    Spit(pc / "tree/empty", "");
    Spit(pc / "tree/sub dir/a b.txt", "line\r\nnext\n");
    Result r = Run("put -r --verify pc/tree /");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dev / "tree/every byte.bin"), EveryByte(70));
    EXPECT_TRUE(fs::exists(dev / "tree/empty"));
    // The device's stamp of a file: its folder time here, to the two seconds of the device.
    const auto stamp = fs::last_write_time(dev / "tree/sub dir/a b.txt");
    r = Run("get -r --verify /tree back");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir / "back/tree/every byte.bin"), EveryByte(70));
    EXPECT_EQ(Slurp(dir / "back/tree/sub dir/a b.txt"), "line\r\nnext\n");
    EXPECT_TRUE(fs::exists(dir / "back/tree/empty"));
    EXPECT_EQ(fs::file_size(dir / "back/tree/empty"), 0u);
    const auto back = fs::last_write_time(dir / "back/tree/sub dir/a b.txt");
    EXPECT_LE(std::chrono::abs(back - stamp), std::chrono::seconds(2));
    // One file to a name of its own, and to standard output.
    r = Run("get '/tree/sub dir/a b.txt' single.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir / "single.txt"), "line\r\nnext\n");
    r = Run("cat '/tree/every byte.bin'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, EveryByte(70));
    // Nothing was left beside the files.
    for (const auto& e : fs::recursive_directory_iterator(dir / "back"))
        EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
}

TEST_F(Kvb, ListingsAndTheirFormsAndTheStatusesOfFailures) {
    Spit(dev / "Lua/main.lua", "print(1)");
    Spit(dev / "Lua/lib/u.lua", "x");
    Spit(dev / "b.txt", "bb");
    Result r = Run("ls /");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "b.txt\nLua/\n");
    r = Run("ls -l /Lua");
    EXPECT_NE(r.out.find("<DIR>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("         8  A"), std::string::npos) << r.out;
    r = Run("ls -R --json /");
    EXPECT_NE(r.out.find("\"path\": \"/Lua/lib/u.lua\""), std::string::npos) << r.out;
    r = Run("tree /");
    EXPECT_EQ(r.out, "/\n|-- b.txt\n`-- Lua/\n    |-- lib/\n    |   `-- u.lua\n    `-- main.lua\n");
    // Patterns, as get, cat and rm take them; and one command's help.
    r = Run("ls '/Lua/*.lua'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "main.lua\n");
    r = Run("tree '/L*'");
    EXPECT_EQ(r.out, "/Lua\n|-- lib/\n|   `-- u.lua\n`-- main.lua\n") << r.err;
    r = Run("help ls");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: kvb ls"), std::string::npos) << r.out;
    r = Run("info");
    EXPECT_EQ(r.out,
              "Kovrin Systems\n#KV-104-000123\nKovrin Device v2.4.1 (build 1187 @ 2026-11-20)\n");
    EXPECT_EQ(Run("ls /nothing").status, 4);
    EXPECT_EQ(Run("get /nothing x").status, 4);
    EXPECT_EQ(Run("put missing.txt /").status, 5);
    r = Run("frobnicate");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kvb: unknown command frobnicate (kvb --help lists the commands)\n");
    EXPECT_EQ(Run("-q --wait 0 frobnicate").status, 2);
    r = Run("get /b.txt");
    EXPECT_EQ(r.status, 0) << "into the current folder: " << r.err;
    EXPECT_EQ(Slurp(dir / "b.txt"), "bb");
    r = Run("--device KV-999 ls /");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("attached: KV-104-000123"), std::string::npos) << r.err;
    r = Run("exec 'frobnicate 1'");
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    r = Run("get '/Lua/*.lua' globbed/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir / "globbed/main.lua"), "print(1)");
    EXPECT_EQ(Run("--help").status, 0);
    r = Run("ls /", "", "refuse-open=1");
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("cannot be opened: no permission"), std::string::npos) << r.err;
    EXPECT_EQ(Run("devices", "", "refuse-open=1").status, 6);
    r = Run("devices", "", "busy=1");
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("in use by another program"), std::string::npos) << r.out;
    r = Run("--wait 0 devices", "", "", false);
    EXPECT_EQ(r.status, 3) << "no device on this machine: " << r.out << r.err;
}

TEST_F(Kvb, ManagementCommandsAndTheEditor) {
    Spit(dev / "d/x.txt", "x");
    Spit(dev / "keep.txt", "kept");
    EXPECT_EQ(Run("mkdir /new").status, 0);
    EXPECT_TRUE(fs::is_directory(dev / "new"));
    EXPECT_EQ(Run("touch /new/empty.txt").status, 0);
    EXPECT_EQ(Run("touch /keep.txt").status, 0);
    EXPECT_EQ(Slurp(dev / "keep.txt"), "kept") << "touch never empties a file";
    EXPECT_EQ(Run("mv /keep.txt kept.txt").status, 0);
    EXPECT_TRUE(fs::exists(dev / "kept.txt"));
    // Into another folder: copied, checked, the original deleted; a cut copy leaves it.
    Spit(dev / "moving.txt", std::string(3000, 'm'));
    Result r = Run("mv /moving.txt /new/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dev / "new/moving.txt"), std::string(3000, 'm'));
    EXPECT_FALSE(fs::exists(dev / "moving.txt"));
    r = Run("mv /new/moving.txt /d/moved.txt", "", "upload-abort-after=100");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(Slurp(dev / "new/moving.txt"), std::string(3000, 'm')) << "the original stays";
    EXPECT_FALSE(fs::exists(dev / "d/moved.txt"));
    EXPECT_EQ(Run("rm /d").status, 2) << "a directory needs -r";
    EXPECT_EQ(Run("rm -r /d /kept.txt").status, 0);
    EXPECT_FALSE(fs::exists(dev / "d"));
    EXPECT_FALSE(fs::exists(dev / "kept.txt"));
    // The editor: a change goes back in the file's own CR LF line ends; no change writes nothing.
    Spit(dev / "conf.txt", "a=1\r\nb=2\r\n");
    std::string editor = "sed -i s/a=1/a=5/";
    std::string command = "cd '" + dir.string() + "' && KVB_VIRTUAL_TIME=1 EDITOR='" + editor +
                          "' " + KV_KVB_FILE + " --simulate dev edit /conf.txt >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Slurp(dev / "conf.txt"), "a=5\r\nb=2\r\n");
    Spit(dev / "bin.dat", std::string("a\0b", 3));
    command = "cd '" + dir.string() + "' && KVB_VIRTUAL_TIME=1 EDITOR=true " + KV_KVB_FILE +
              " --simulate dev edit /bin.dat 2>stderr";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_NE(Slurp(dir / "stderr").find("NUL"), std::string::npos);
    // A character the device cannot store is named with its line and column, as the window does.
    command = "cd '" + dir.string() +
              "' && KVB_VIRTUAL_TIME=1 EDITOR='sed -i s/b=2/b=\xe2\x82\xac/' " + KV_KVB_FILE +
              " --simulate dev edit /conf.txt 2>stderr";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_NE(Slurp(dir / "stderr").find("\"\xE2\x82\xAC\" (U+20AC) on line 2, column 3"),
              std::string::npos)
        << Slurp(dir / "stderr");
}

// A word for the test's own shell: in single quotes, each quote written as '\''.
std::string ShellWord(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

TEST_F(Kvb, TheEditorGetsTheFileAsOneArgumentWhateverItsNameHolds) {
    // A recording editor: logs how many arguments it got, the file, its folder's mode; then
    // saves the text with CR LF line ends of its own, as Windows editors do.
    Spit(dir / "editor.sh", "#!/bin/sh\n"
                            "for f in \"$@\"; do :; done\n"
                            "printf '%s|%s|' \"$#\" \"$f\" >> \"$KVB_TEST_LOG\"\n"
                            "stat -c '%a' \"$(dirname \"$f\")\" >> \"$KVB_TEST_LOG\"\n"
                            "printf 'new\\r\\nline\\n' > \"$f\"\n");
    fs::permissions(dir / "editor.sh", fs::perms::owner_all);
    ::setenv("KVB_TEST_LOG", (dir / "log").c_str(), 1);
    ::unsetenv("VISUAL");
    // The editor command may hold arguments of its own: they stay its arguments.
    ::setenv("EDITOR", (ShellWord((dir / "editor.sh").string()) + " --wait").c_str(), 1);
    const std::vector<std::string> names = {"it's.lua",
                                            "a;touch INJECTED;.lua",
                                            "$(touch INJECTED).lua",
                                            "`touch INJECTED`.lua",
                                            "two  words.lua",
                                            "-rf.lua",
                                            "a&b (1).lua",
                                            "a';touch INJECTED;echo INJECTED;'.lua"};
    for (const auto& name : names) {
        Spit(dev / "Lua" / name, "old\r\n");
        fs::remove(dir / "log");
        const Result r = Run("edit " + ShellWord("/Lua/" + name));
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(Slurp(dev / "Lua" / name), "new\r\nline\r\n") << name;
        const std::string log = Slurp(dir / "log");
        const auto bar = log.find('|');
        ASSERT_NE(bar, std::string::npos) << name << ": the editor did not run";
        EXPECT_EQ(log.substr(0, bar), "2") << name << ": " << log; // --wait and the file
        const fs::path file = log.substr(bar + 1, log.rfind('|') - bar - 1);
        EXPECT_EQ(file.filename().string(), name);
        EXPECT_EQ(log.substr(log.rfind('|') + 1), "700\n") << name;
        EXPECT_FALSE(fs::exists(file.parent_path())) << "removed after the write-back: " << name;
        EXPECT_FALSE(fs::exists(dir / "INJECTED")) << name;
        EXPECT_EQ(r.out.find("INJECTED"), std::string::npos) << name;
    }
    // Text the device cannot take: the file stays where the editor saved it, and is named.
    Spit(dir / "euro.sh", "#!/bin/sh\nprintf 'price=20\\342\\202\\254\\n' > \"$1\"\n");
    fs::permissions(dir / "euro.sh", fs::perms::owner_all);
    ::setenv("EDITOR", (dir / "euro.sh").c_str(), 1);
    for (const char* faults : {"", "upload-abort-after=100"}) {
        const std::string lines =
            *faults ? std::string(2000, 'a') + "\n" : "price=20\xE2\x82\xAC\n";
        if (*faults)
            Spit(dir / "euro.sh",
                 "#!/bin/sh\nprintf '" + lines.substr(0, 2000) + "\\n' > \"$1\"\n");
        const Result r = Run("edit /Lua/it\\'s.lua", "", faults);
        EXPECT_EQ(r.status, 4) << faults << r.err;
        const auto at = r.err.find("your text is kept in ");
        ASSERT_NE(at, std::string::npos) << r.err;
        std::string kept = r.err.substr(at + 21);
        kept.erase(kept.find_last_not_of("\r\n") + 1);
        EXPECT_EQ(Slurp(kept), lines) << kept;
        fs::remove_all(fs::path(kept).parent_path());
    }
    EXPECT_EQ(Slurp(dev / "Lua" / "it's.lua"), "new\r\nline\r\n");
    ::unsetenv("EDITOR");
}

TEST_F(Kvb, WhatTheDeviceDidNotDoIsSaidWithItsStatus) {
    Spit(dev / "Lua/led driver.lua", "a");
    Spit(dev / "Lua/main.lua", "m");
    Spit(pc / "q?.lua", "x=1");
    const auto check = [&](const std::string& args, int status, const std::string& message) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, status) << args << ": " << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
    };
    check("mv '/Lua/led driver.lua' main.lua", 4, "/Lua/led driver.lua: the device refused it: \"");
    check("put 'pc/q?.lua' /Lua", 4, "/Lua/q?.lua: the device refused it: \"10:Invalid name\"");
    check("touch '/Lua/star*.lua'", 4, "/Lua/star*.lua: the device refused it");
    check("cat /Lua", 4, "/Lua: it is a directory");
    check("cat /Lua/nope", 4, "/Lua/nope: no such file or directory");
    check("get /Lua/main.lua /proc/no/such/", 5, "Cannot create file");
    check("get /Lua/main.lua /proc/no-such-file", 5, "Cannot create file");
}

// The device's line after a write's content decides only in its result format; other words, or
// none, are settled by its listing, for a new file and for one replaced.
TEST_F(Kvb, WritesConfirmedInOtherWordsAreDoneAndOnlyAMarkedRefusalFails) {
    const struct {
        const char* faults;
        int status;
    } answers[] = {{"write-confirm=0:No error", 0},
                   {"write-confirm=Wrote 5 bytes", 0},
                   {"write-confirm=OK", 0},
                   {"write-confirm=", 0},
                   {"write-result-silent=1", 0},
                   {"write-confirm=5:Access denied", 4},
                   {"write-confirm=Done;capacity=4500", 4}};
    const std::string next(5000, 'n');
    Spit(pc / "new.txt", next);
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.faults);
        fs::remove(dev / "new.txt");
        Spit(dev / "old.txt", "old");
        Result r = Run("put pc/new.txt /new.txt", "", answer.faults);
        EXPECT_EQ(r.status, answer.status) << r.err;
        EXPECT_EQ(fs::exists(dev / "new.txt"), answer.status == 0);
        r = Run("put pc/new.txt /old.txt", "", answer.faults);
        EXPECT_EQ(r.status, answer.status) << r.err;
        EXPECT_EQ(Slurp(dev / "old.txt") == next, answer.status == 0);
        if (answer.status != 0) {
            EXPECT_EQ(Slurp(dev / "old.txt"), "old");
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dev), fs::directory_iterator()),
                  answer.status == 0 ? 2 : 1)
            << "no copy left beside";
    }
}

// A file the device lists read-only is not replaced by put or sync, even where the device would
// let the old one be deleted.
TEST_F(Kvb, AReadOnlyDeviceFileIsKeptByPutAndSync) {
    Spit(dev / "p/a.txt", "hello\n");
    fs::permissions(dev / "p/a.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    Spit(pc / "p/a.txt", "world\n");
    Result r = Run("put pc/p/a.txt /p/a.txt");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
    r = Run("sync up --force pc pc/p /p");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(Slurp(dev / "p/a.txt"), "hello\n");
}

// PC trees: a link to a folder above is not followed, a link to a file is sent as the file;
// "DIR/" goes into an existing directory without a failure; empty device directories come back as
// folders; a target folder written with "/" is made.
TEST_F(Kvb, TreesCopyEachFolderOnceAndEveryDirectoryAsItIs) {
    Spit(pc / "proj/a.lua", "a");
    Spit(pc / "proj/sub/b.lua", "b");
    fs::create_symlink("..", pc / "proj/sub/up");
    fs::create_symlink("../a.lua", pc / "proj/sub/alink.lua");
    fs::create_directories(dev / "Lua");
    Result r = Run("put -r pc/proj/ /Lua");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sent("NFMKDIR"), std::vector<std::string>{"NFMKDIR \"/Lua/sub\""});
    EXPECT_EQ(Sent("NFWRITE").size(), 3u);
    EXPECT_EQ(Slurp(dev / "Lua/sub/alink.lua"), "a");
    EXPECT_FALSE(fs::exists(dev / "Lua/sub/up"));
    EXPECT_NE(r.err.find("pc/proj/sub/up: a link to a folder; not followed"), std::string::npos)
        << r.err;
    // Named without the "/": a directory of its own name, again without following the link.
    r = Run("put -r pc/proj /Lua");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dev / "Lua/proj/sub/b.lua"), "b");
    // In the folder made just now its folder is made without a look: listed once, to confirm.
    const auto listed = Sent("NFDIR");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "NFDIR @\"/Lua/proj\""), 1);
    EXPECT_FALSE(fs::exists(dev / "Lua/proj/sub/up"));
    r = Run("sync up pc/proj /s");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("skip link sub/up/\n"), std::string::npos) << r.out;
    EXPECT_EQ(Slurp(dev / "s/sub/alink.lua"), "a");
    EXPECT_FALSE(fs::exists(dev / "s/sub/up"));

    fs::create_directories(dev / "Lua/empty/inner");
    r = Run("get -r /Lua back/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir / "back/Lua/sub/b.lua"), "b");
    EXPECT_TRUE(fs::is_directory(dir / "back/Lua/empty/inner"));
    fs::create_directories(dev / "void");
    r = Run("get -r / all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "all/void"));
    EXPECT_TRUE(fs::is_directory(dir / "all/Lua/empty/inner"));
    r = Run("get /Lua/a.lua one/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir / "one/a.lua"), "a");
}

// Each status from what happened: the device gone during a command is 3, a PC file that cannot
// be written 5, an empty firmware image is refused before the device restarts; names from the
// device reach the terminal with their control characters escaped.
TEST_F(Kvb, TheStatusSaysWhatHappenedAndNamesCannotDriveTheTerminal) {
    for (int i = 0; i < 6; ++i)
        Spit(dev / "big" / ("d" + std::to_string(i)) / "f.bin", EveryByte(120));
    Result r = Run("get -r /big out", "", "unplug-at=3000");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("the device is gone"), std::string::npos) << r.err;
    r = Run("exec help", "", "unplug-at=1030");
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    r = Run("log --seconds 3", "", "unplug-at=2000");
    EXPECT_EQ(r.status, 3) << r.err;
    r = Run("sync down /big /proc/kvb-no-folder");
    EXPECT_EQ(r.status, 5) << r.err;

    Spit(pc / "empty.blf", "");
    r = Run("flash pc/empty.blf");
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("pc/empty.blf: the file is empty"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dir / "trace").find("boot"), std::string::npos) << "no restart";

    fs::create_directories(dev / "w");
    r = Run("ls /w", "", "extra-file=/w/a\\x1B[2Jb\\x0Dc\\x85d\\x07");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a\\x1B[2Jb\\x0Dc\\x85d\\x07\n");
}

TEST_F(Kvb, VerifyCatchesACorruptedReadBackAndACutDownloadLeavesNothing) {
    Spit(pc / "up.bin", EveryByte(4));
    // Every download is wrong in one byte: the upload's read-back shows it.
    Result r = Run("put --verify pc/up.bin /", "", "corrupt-downloads-from=1");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("/up.bin"), std::string::npos) << r.err;
    // Only the second download is wrong: the download's read-back shows it.
    r = Run("get --verify /up.bin got.bin", "", "corrupt-downloads-from=2");
    EXPECT_EQ(r.status, 4) << r.err;
    // A download cut short: nothing at the target, nothing beside it, a failure.
    r = Run("get /up.bin cut.bin", "", "download-stall-after=100");
    EXPECT_EQ(r.status, 4);
    EXPECT_FALSE(fs::exists(dir / "cut.bin"));
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find("cut.bin"), std::string::npos);
}

TEST_F(Kvb, NamesThatWouldLeaveTheTargetFolderAreRefused) {
    Spit(dev / "t/ok.txt", "ok");
    Result r = Run("get -r /t out", "",
                   "listing-line=..\\t3\\t32\\t0\\t0\\t0;listing-line=../up\\t3\\t32\\t0\\t0\\t0");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("unsafe name \"../up\""), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dir / "out/t/ok.txt"), "ok");
    EXPECT_FALSE(fs::exists(dir / "out/up"));
    EXPECT_FALSE(fs::exists(dir / "up"));
    // The whole device: the root's own entries too. The device sends /../up as /up.
    Spit(dev / "up", "up");
    r = Run("get -r / all", "", "listing-line=../up\\t2\\t32\\t0\\t0\\t0");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("unsafe name \"../up\""), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dir / "all/up"), "up");
    EXPECT_EQ(Slurp(dir / "all/t/ok.txt"), "ok");
    EXPECT_FALSE(fs::exists(dir / "up"));
}

TEST_F(Kvb, NamesOnlyWindowsRefusesAreSavedHere) {
    Spit(dev / "w/ok.txt", "ok");
    const Result r = Run("get -r /w out", "",
                         "extra-file=/w/C:x;extra-file=/w/CON;extra-file=/w/a?.;"
                         "extra-file=/w/a?\\x01.");
    EXPECT_EQ(Slurp(dir / "out/w/C:x"), "C:x");
    EXPECT_EQ(Slurp(dir / "out/w/CON"), "CON");
    EXPECT_EQ(Slurp(dir / "out/w/a?."), "a?.");
    EXPECT_EQ(Slurp(dir / "out/w/ok.txt"), "ok");
    // A control character cannot go into the command that would read it: named, not saved.
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out/w/a?\x01."));
    EXPECT_NE(r.err.find("/w/a?\\x01.: not sent: the path holds the control character 0x01"),
              std::string::npos)
        << r.err;
}

// Names that would end or split a command line (from the PC or listed by the device) are
// named and skipped, what is below them too; the rest goes and the status is 4. No such command
// ever reaches the device: a file named to wipe /Lua leaves it as it is.
TEST_F(Kvb, NamesThatCannotGoIntoACommandLineAreSkippedAndNamed) {
    Spit(dev / "Lua/keep.lua", "keep");
    Spit(dev / "Data/t1.txt", "t1");
    const std::pair<std::string, std::string> hostile[] = {
        {"z\rNFWIPEDIR Lua\rz", "/t/z\\rNFWIPEDIR Lua\\rz: not sent: the path holds a carriage "
                                "return (CR)"},
        {"a\nb", "/t/a\\nb: not sent: the path holds a line feed (LF)"},
        {"tab\tdir/in.txt", "/t/tab\\tdir: not sent: the path holds a TAB"},
        {"e\x1b.txt", "/t/e\\x1B.txt: not sent: the path holds the control character 0x1B"},
        {"x\" y", "/t/x\" y: not sent: the path holds a double quote (\")"},
    };
    for (const auto& [name, why] : hostile)
        Spit(pc / "t" / name, "h");
    Spit(pc / "t/ok.txt", "ok");
    Spit(pc / "t/sub/caf\xC3\xA9 ok.txt", "ok2");
    Spit(pc / "t/\xD0\xBF\xD1\x80\xD0\xB8.lua", "beyond 8 bits"); // Cyrillic
    Spit(pc / "t/Case.txt", "one");
    Spit(pc / "t/case.txt", "two"); // one name to a device that folds case
    Result r = Run("-v put -r pc/t /");
    EXPECT_EQ(r.status, 4) << r.err;
    for (const auto& [name, why] : hostile)
        EXPECT_NE(r.err.find(why), std::string::npos) << why << " in " << r.err;
    // Every name left out is said, the rest still goes, and nothing is said as sent that was not.
    EXPECT_NE(r.err.find("\xD0\xBF\xD1\x80\xD0\xB8.lua\". Its name has characters the device "
                         "cannot store"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("> /t/x\" y"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/t/case.txt: another name in its folder differs only in case"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Slurp(dev / "t/ok.txt"), "ok");
    EXPECT_EQ(Slurp(dev / "t/sub/caf\xC3\xA9 ok.txt"), "ok2");
    EXPECT_EQ(std::distance(fs::directory_iterator(dev / "t"), fs::directory_iterator()), 2);
    EXPECT_EQ(Slurp(dev / "Lua/keep.lua"), "keep");
    EXPECT_TRUE(Sent("NFWIPEDIR").empty());

    // The same walk as a sync; and a device listing such a name, copied down.
    r = Run("sync up pc/t /s");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("/s/z\\rNFWIPEDIR Lua\\rz: not sent"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dev / "s/sub/caf\xC3\xA9 ok.txt"), "ok2");
    r = Run("get -r /Data out", "", "extra-file=/Data/z\\x0DNFWIPEDIR Lua\\x0Dz");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("/Data/z\\rNFWIPEDIR Lua\\rz: not sent"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dir / "out/Data/t1.txt"), "t1");
    EXPECT_EQ(Slurp(dev / "Lua/keep.lua"), "keep");

    // A new name is refused whole, not cut at its quote.
    r = Run("mv /Data/t1.txt 'q\"x.txt'");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("/Data/t1.txt: not sent: the name \"q\"x.txt\" holds a double quote"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(Sent("NFRENAME").empty());
    EXPECT_EQ(Slurp(dev / "Data/t1.txt"), "t1");
}

// Device paths typed in the terminal's UTF-8 go as the device's Latin-1 and are shown back in
// UTF-8; one the device cannot store is refused before anything is sent.
TEST_F(Kvb, TypedDevicePathsAreTheDevicesLatin1) {
    Spit(dev / "Lua/apps/caf\xC3\xA9.lua", "print(1)");
    Result r = Run("cat /Lua/apps/caf\xC3\xA9.lua");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "print(1)");
    EXPECT_EQ(Sent("NFTYPE"), std::vector<std::string>{"NFTYPE @\"/Lua/apps/caf\xE9.lua\""});
    r = Run("mkdir /Lua/d\xC3\xA9");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sent("NFMKDIR"), std::vector<std::string>{"NFMKDIR \"/Lua/d\xE9\""});
    EXPECT_TRUE(fs::is_directory(dev / "Lua/d\xC3\xA9"));
    EXPECT_EQ(Run("ls /Lua").out, "apps/\nd\xC3\xA9/\n");
    r = Run("mkdir /Lua/\xE6\x97\xA5");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the device cannot store the path /Lua/\xE6\x97\xA5"), std::string::npos)
        << r.err;
    EXPECT_TRUE(Sent("NFMKDIR").empty());
    r = Run("ls /Lua/n\xC3\xA9");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "kvb: /Lua/n\xC3\xA9: no such file or directory\n") << "shown back as typed";
}

// A device another program holds: nothing is sent, the holder is named, the status is 6; with
// two devices the free one is taken, and --all names the busy one.
TEST_F(Kvb, ADeviceInUseByAnotherProgramIsNamedAndLeftAlone) {
    const std::string holder = "busy-holder=kvb mount (process 4711)";
    Result r = Run("ls /", "", holder);
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("KV-104-000123 is in use by kvb mount (process 4711)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(Sent("NFDIR").empty());
    r = Run("devices", "", holder);
    EXPECT_NE(r.out.find("in use by kvb mount (process 4711)"), std::string::npos) << r.out;
    fs::create_directories(dir / "dev2");
    env = "KVB_SIM_FAULTS_1='" + holder + "'";
    r = Run("--simulate dev2 ls /");
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run("--simulate dev2 --all ls /");
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("busy: KV-104-000123 is in use by kvb mount"), std::string::npos) << r.err;
    env.clear();
}

TEST_F(Kvb, DeviceChoosesOneOfTwoDevicesBySerialOrPath) {
    fs::create_directories(dir / "dev2");
    Spit(dir / "dev2/second.txt", "2");
    Spit(dev / "first.txt", "1");
    const std::string both = "--simulate dev2 ";
    Result r = Run(both + "devices");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("KV-104-000123"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("KV-104-000124"), std::string::npos) << r.out;
    EXPECT_EQ(Run(both + "ls /").out, "first.txt\n") << "without --device: the first";
    EXPECT_EQ(Run(both + "--device KV-104-000124 ls /").out, "second.txt\n");
    EXPECT_EQ(Run(both + "--device sim:kovrin-2 ls /").out, "second.txt\n");
    EXPECT_EQ(Run(both + "--device KV-000 ls /").status, 3);
    // Without --device the device that restarts for its firmware is waited for, not the other
    // one already waiting in its boot loader.
    Spit(pc / "fw.blf", "F");
    env = "KVB_SIM_FAULTS_2=boot-loader=1 KVB_SIM_WIRE='wire-{serial}'";
    r = Run(both + "flash --no-run pc/fw.blf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(Slurp(dir / "wire-KV-104-000123").find("LOAD 1 fw.blf"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "wire-KV-104-000124")) << "nothing was written to the other";
}

TEST_F(Kvb, TheConsoleOneLineAndInteractiveAndTheLog) {
    Result r = Run("exec help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Commands:", 0), 0u) << r.out;
    r = Run("term", "helx\x7Fp\r");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(DevicePrompt() + "Commands:"), std::string::npos)
        << "Backspace edited: " << r.out;
    r = Run("log --seconds 3");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("] "), std::string::npos) << r.out;
    // The modem's lines: one a line, stamped, the direction marked, no raw CR to overwrite one.
    r = Run("log --modem --seconds 5");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" modem > AT+CSQ\\x0D\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" modem < +CSQ: 17,99\n"), std::string::npos) << r.out;
}

// kvb term on a terminal (a pseudo-terminal): what it shows while the keys are typed.
TEST_F(Kvb, TermOnATerminalEchoesTheKeysAndLeavesOnAFreshLine) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        setenv("KVB_VIRTUAL_TIME", "1", 1);
        setenv("TERM", "dumb", 1); // no colours: the echo alone
        execl(KV_KVB_FILE, "kvb", "--simulate", "dev", "term", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    // Reads what the terminal shows until Text is there (or the program ended, or 20 s passed).
    const auto until = [&](const std::string& text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (shown.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd in{master, POLLIN, 0};
            if (poll(&in, 1, 100) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) return false;
            shown.append(buffer, static_cast<size_t>(n));
        }
        return shown.find(text) != std::string::npos;
    };
    const auto type = [&](const std::string& keys) {
        for (char c : keys) {
            ASSERT_EQ(write(master, &c, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    ASSERT_TRUE(until(DevicePrompt())) << shown;
    type("helx\x7Fp\r");
    ASSERT_TRUE(until("Commands:")) << shown;
    EXPECT_NE(shown.find(DevicePrompt() + "helx\b \bp\r\nCommands:"), std::string::npos)
        << "typed keys shown, Backspace taking the last one: " << shown;
    type("ver");
    ASSERT_TRUE(until("ver"));
    type("\x1D");  // Ctrl+]
    until("\x01"); // everything, to the end of the program
    int status = -1;
    waitpid(child, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string last = DevicePrompt() + "ver\r\n";
    EXPECT_TRUE(shown.size() >= last.size() && shown.substr(shown.size() - last.size()) == last)
        << "the shell's prompt comes on a fresh line: " << shown;
}

TEST_F(Kvb, FlashLoadsThroughTheBootLoaderAndRuns) {
    Spit(pc / "app.blf", std::string(5000, 'F'));
    Result r = Run("flash pc/app.blf");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* phase :
         {"Rebooting...", "Upload BLF", " load", " verify", " burn", "Run firmware..."})
        EXPECT_NE(r.err.find(phase), std::string::npos) << phase << " in " << r.err;
    EXPECT_EQ(Run("flash pc/missing.blf").status, 5);
    EXPECT_EQ(Run("flash pc/app.txt").status, 2);
}

TEST_F(Kvb, FlashFailsWhenTheBootLoaderSaysAPhaseFailed) {
    Spit(pc / "app.blf", std::string(5000, 'F'));
    for (const std::string phase : {"verify", "burn"}) {
        const Result r = Run("flash pc/app.blf", "", phase + "-fails=1");
        EXPECT_EQ(r.status, 4) << phase;
        EXPECT_NE(r.err.find("kvb: pc/app.blf: the boot loader did not take it (" + phase +
                             " phase: " + PhaseFailed(phase) + ")"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("Run firmware..."), std::string::npos) << "still started: " << r.err;
    }
}

TEST_F(Kvb, TheCommandLinesOnTheWireAreTheWindowsOnes) {
    Spit(dev / "a.txt", "alpha");
    fs::create_directories(dev / "Lua");
    Spit(pc / "u p.lua", "12345");
    Spit(pc / "fw.blf", "F");
    const auto lines = [&](const std::string& args) {
        Spit(dir / "stdin", "");
        const std::string command = "cd '" + dir.string() +
                                    "' && KVB_VIRTUAL_TIME=1 KVB_SIM_TRACE=trace " + KV_KVB_FILE +
                                    " -q --simulate dev " + args + " <stdin >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << args;
        std::vector<std::string> out;
        std::istringstream in(Slurp(dir / "trace"));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(line);
        return out;
    };
    // The table the window's tests check the window against (with the device's .nfi. feature:
    // quoted paths).
    const auto& wire = kvtest::WireLines();
    EXPECT_EQ(lines("ls /"), wire.at("list /"));
    EXPECT_EQ(lines("cat /a.txt"), wire.at("read /a.txt"));
    EXPECT_EQ(kvtest::WithoutListings(lines("put 'pc/u p.lua' /")), wire.at("upload u p.lua to /"));
    EXPECT_EQ(kvtest::WithoutListings(lines("put --proper 'pc/u p.lua' /")),
              wire.at("upload u p.lua to its proper place"));
    EXPECT_EQ(kvtest::WithoutListings(lines("mv /a.txt b.txt")), wire.at("rename /a.txt to b.txt"));
    EXPECT_EQ(lines("mkdir '/New Dir'"), wire.at("make directory /New Dir"));
    EXPECT_EQ(kvtest::WithoutListings(lines("rm /b.txt")), wire.at("delete /b.txt"));
    const std::vector<std::string> flash = lines("flash pc/fw.blf");
    ASSERT_GE(flash.size(), 2u);
    EXPECT_EQ(flash.front(), "boot");
    EXPECT_EQ(flash.back(), "run");
    EXPECT_NE(std::find(flash.begin(), flash.end(), "LOAD 1 fw.blf"), flash.end());
}

// ---- many devices at once ----

struct KvbMany : Kvb {
    void SetUp() override {
        Kvb::SetUp();
        for (const char* d : {"dev2", "dev3"})
            fs::create_directories(dir / d);
    }
    const std::string three = "--simulate dev2 --simulate dev3 ";
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Each device's work is its own kvb's: the same reports on its wire as when it is alone, and
// whole lines that say whose they are.
TEST_F(KvbMany, EveryDeviceAtOnceWithTheBytesOfOneAndAReport) {
    Spit(pc / "fw.blf", "abc");
    env = "KVB_SIM_WIRE=many-{serial}";
    Result r = Run(three + "--all --report r.json flash pc/fw.blf");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex whole(R"(^(KV-104-00012[345](: |  )|done: |SERIAL |3 device\(s\): |$).*)");
    for (const auto& line : Lines(r.err))
        EXPECT_TRUE(std::regex_match(line, whole)) << "[" << line << "] in\n" << r.err;
    for (const char* serial : {"KV-104-000123", "KV-104-000124", "KV-104-000125"}) {
        EXPECT_NE(r.err.find(std::string(serial) + ": Run firmware"), std::string::npos) << serial;
        env = std::string("KVB_SIM_WIRE=one-") + serial;
        ASSERT_EQ(Run(three + "-q --device " + serial + " flash pc/fw.blf").status, 0);
        const std::string alone = Slurp(dir / (std::string("one-") + serial));
        EXPECT_GE(alone.size(), 6 * 64u); // boot, LOAD, the image, run and prompts
        EXPECT_EQ(Slurp(dir / (std::string("many-") + serial)), alone) << serial;
    }
    const auto report = nlohmann::json::parse(Slurp(dir / "r.json"));
    EXPECT_EQ(report["firmware"][0]["file"], "fw.blf");
    EXPECT_EQ(report["firmware"][0]["sha256"],
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_EQ(report["devices"].size(), 3u);
    for (const auto& d : report["devices"])
        EXPECT_EQ(d["result"], "done") << d;
    // A set of devices instead of all; put -r --verify to each.
    env.clear();
    Spit(pc / "tree/a.lua", "a");
    Spit(pc / "tree/sub/b.txt", "bb");
    r = Run(three + "--device KV-104-000123 --device KV-104-000125 put -r --verify pc/tree /");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dev / "tree/sub/b.txt"), "bb");
    EXPECT_EQ(Slurp(dir / "dev3/tree/sub/b.txt"), "bb");
    EXPECT_FALSE(fs::exists(dir / "dev2/tree"));
    r = Run(three + "--all info");
    EXPECT_NE(r.out.find("KV-104-000124: #KV-104-000124\n"), std::string::npos) << r.out;
}

// A device whose read-back differs after put --verify, whose boot loader fails its verify phase,
// or that is unplugged mid-flash fails alone: the others finish, the summary and the report say
// which one and why, and the exit status is not 0.
TEST_F(KvbMany, OneDeviceFailingLeavesTheOthersToFinish) {
    Spit(pc / "up.lua", EveryByte(8));
    env = "KVB_SIM_FAULTS_2=corrupt-downloads-from=1";
    Result r = Run(three + "--all --report r.csv put --verify pc/up.lua /");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(Slurp(dev / "up.lua"), EveryByte(8));
    EXPECT_EQ(Slurp(dir / "dev3/up.lua"), EveryByte(8));
    EXPECT_NE(r.err.find("KV-104-000124  FAILED"), std::string::npos) << r.err;
    const std::string csv = Slurp(dir / "r.csv");
    EXPECT_NE(csv.find("KV-104-000123,done,0,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("KV-104-000124,failed,4,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("/up.lua: the device's bytes differ"), std::string::npos) << csv;
    Spit(pc / "fw.blf", "F");
    env = "KVB_SIM_FAULTS_2=verify-fails=1";
    r = Run(three + "--all flash pc/fw.blf");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("done: KV-104-000123"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("done: KV-104-000125"), std::string::npos) << r.err;
    EXPECT_TRUE(
        std::regex_search(r.err, std::regex(R"(\nKV-104-000124  FAILED +[0-9.]+  pc/fw\.blf: )"
                                            R"(the boot loader did not take it \(verify )"
                                            R"(phase: )" +
                                            PhaseFailed("verify") + R"(\)\n)")))
        << r.err;
    // Gone for good in the middle of a 256 KiB image (it is on the link from about 6 s on).
    Spit(pc / "big.blf", EveryByte(1024));
    env = "KVB_SIM_FAULTS_3=unplug-at=8000";
    r = Run(three + "--all flash pc/big.blf");
    EXPECT_EQ(r.status, 3) << "the status of the one that failed: gone. " << r.err;
    EXPECT_NE(r.err.find("done: KV-104-000123"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("done: KV-104-000124"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed: KV-104-000125"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("KV-104-000125  FAILED"), std::string::npos) << r.err;
}

// The line: devices plugged in one after another. The third restarts into its new firmware
// right after its flash: the same device. The first is unplugged and plugged in again later:
// skipped as done, or done again with --again.
TEST_F(KvbMany, EachNewDeviceAsItComesAndARestartIsNoNewDevice) {
    fs::create_directories(dir / "dev4");
    Spit(pc / "fw.blf", "F");
    env = "KVB_SIM_FAULTS_1='unplug-at=40000;unplug-for=5000' "
          "KVB_SIM_FAULTS_3='present-from=15000;unplug-at=25000;unplug-for=3000' "
          "KVB_SIM_FAULTS_4=present-from=50000";
    const std::string four = three + "--simulate dev4 --each-new ";
    const auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    Result r = Run(four + "--count 4 flash pc/fw.blf");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* serial : {"KV-104-000123", "KV-104-000124", "KV-104-000125", "KV-104-000126"})
        EXPECT_EQ(count(r.err, std::string("done: ") + serial), 1u) << serial << r.err;
    EXPECT_NE(r.err.find(" - unplug it  [4 done, 0 failed]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("KV-104-000123: already done; skipped"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("KV-104-000125: already done"), std::string::npos) << r.err;
    r = Run(four + "--again --count 5 flash pc/fw.blf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(r.err, "done: KV-104-000123"), 2u) << r.err;
    EXPECT_EQ(count(r.err, "done: KV-104-000125"), 1u) << r.err;
    EXPECT_EQ(count(r.err, "done: KV-104-000126"), 1u) << r.err;
}

// A board whose flash failed is unplugged and plugged in again at once to be tried again: that
// is a new attachment, not its restart into new firmware. The third board, plugged in later,
// is not needed for the count.
TEST_F(KvbMany, AFailedBoardPluggedInAgainSoonIsTriedAgain) {
    Spit(pc / "fw.blf", "F");
    env = "KVB_SIM_FAULTS_1='verify-fails=1;unplug-at=20000;unplug-for=2000' "
          "KVB_SIM_FAULTS_2=present-from=120000 KVB_SIM_FAULTS_3=present-from=120000";
    const Result r = Run(three + "--each-new --count 2 flash pc/fw.blf");
    EXPECT_EQ(r.status, 4) << r.err;
    size_t failed = 0;
    for (size_t at = 0; (at = r.err.find("failed: KV-104-000123", at)) != std::string::npos; ++at)
        ++failed;
    EXPECT_EQ(failed, 2u) << r.err;
    EXPECT_EQ(r.err.find("KV-104-000124"), std::string::npos) << r.err;
}

// ---- sync ----

TEST_F(Kvb, SyncSendsOnlyWhatChangedAndAPreviewChangesNothing) {
    for (int i = 0; i < 4; ++i)
        Spit(pc / "proj" / ("d" + std::to_string(i % 2)) / ("f" + std::to_string(i) + ".lua"),
             "print(" + std::to_string(i) + ")");
    Spit(pc / "proj/.kvbignore", "*.bak\n");
    Spit(pc / "proj/old.bak", "old");
    Spit(pc / "proj/d0/f0.lua~", "backup");
    Result r = Run("sync up --dry-run pc/proj /proj");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"send new d0/f0.lua\n", "send new d1/\n", "skip ignored old.bak\n",
                             "skip ignored d0/f0.lua~\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in " << r.out;
    EXPECT_FALSE(fs::exists(dev / "proj"));
    EXPECT_FALSE(fs::exists(dir / "state")) << "a preview keeps no record";
    // Not even a replacement cut short is finished by a preview; the next listing finishes it.
    Spit(dev / "cut/x.lua.kvbnew", "new x");
    r = Run("sync up --dry-run pc/proj /cut");
    EXPECT_TRUE(fs::exists(dev / "cut/x.lua.kvbnew")) << r.err;
    EXPECT_EQ(Run("ls /cut").status, 0);
    EXPECT_EQ(Slurp(dev / "cut/x.lua"), "new x");
    r = Run("sync up --dry-run --json pc/proj /proj");
    EXPECT_NE(r.out.find(R"({"action":"send","directory":false,"done":false,"path":"d1/f3.lua",)"
                         R"("reason":"new"})"),
              std::string::npos)
        << r.out;

    r = Run("sync up pc/proj /proj");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sent("NFWRITE").size(), 4u);
    EXPECT_EQ(Slurp(dev / "proj/d1/f3.lua"), "print(3)");
    EXPECT_FALSE(fs::exists(dev / "proj/old.bak"));
    EXPECT_FALSE(fs::exists(dev / "proj/d0/f0.lua~"));
    // Nothing changed; then saved again without a change (only its time moved).
    EXPECT_EQ(Run("sync up pc/proj /proj").status, 0);
    EXPECT_TRUE(Sent("NFWRITE").empty());
    fs::last_write_time(pc / "proj/d0/f0.lua",
                        fs::last_write_time(pc / "proj/d0/f0.lua") + std::chrono::seconds(10));
    EXPECT_EQ(Run("sync up pc/proj /proj").status, 0);
    EXPECT_TRUE(Sent("NFWRITE").empty());
    Spit(pc / "proj/d1/f1.lua", "print(11)");
    r = Run("sync up pc/proj /proj");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sent("NFWRITE"),
              std::vector<std::string>{"NFWRITE \"/proj/d1/f1.lua.kvbnew\"\t9\tw"});
    EXPECT_EQ(r.out, "send changed d1/f1.lua\n");
}

TEST_F(Kvb, ChangesOnBothSidesAreKeptUntilForceNamesTheWinner) {
    Spit(pc / "p/a.lua", "a");
    Spit(pc / "p/b.lua", "b");
    ASSERT_EQ(Run("sync up pc/p /p").status, 0);
    Spit(pc / "p/a.lua", "pc's a");
    Spit(dev / "p/a.lua", "device's a");
    fs::last_write_time(dev / "p/a.lua",
                        fs::last_write_time(dev / "p/a.lua") - std::chrono::hours(1));
    Result r = Run("sync up pc/p /p");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("skip conflict a.lua"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 conflict"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dev / "p/a.lua"), "device's a");
    r = Run("sync down /p pc/p");
    EXPECT_EQ(r.status, 4) << "the same conflict seen from the other side";
    EXPECT_EQ(Slurp(pc / "p/a.lua"), "pc's a");
    EXPECT_EQ(Run("sync up --force device pc/p /p").status, 0);
    EXPECT_EQ(Slurp(dev / "p/a.lua"), "device's a");
    EXPECT_EQ(Run("sync up --force pc pc/p /p").status, 0);
    EXPECT_EQ(Slurp(dev / "p/a.lua"), "pc's a");
    // Changed on the device only: down brings it, and up after that has nothing to send.
    Spit(dev / "p/b.lua", "device's b");
    EXPECT_EQ(Run("sync down /p pc/p").status, 0);
    EXPECT_EQ(Slurp(pc / "p/b.lua"), "device's b");
    EXPECT_EQ(Run("sync up pc/p /p").status, 0);
    EXPECT_TRUE(Sent("NFWRITE").empty());
    // Changed at the target only: a one-way sync does not put the other side's old copy over it.
    Spit(pc / "p/b.lua", "pc's edit");
    r = Run("sync down /p pc/p");
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("skip conflict b.lua  (changed on the PC since the last sync)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Slurp(pc / "p/b.lua"), "pc's edit");
    EXPECT_EQ(Run("sync up pc/p /p").status, 0);
    Spit(dev / "p/b.lua", "device's edit");
    r = Run("sync up pc/p /p");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("(changed on the device since the last sync)"), std::string::npos)
        << r.out;
    EXPECT_EQ(Slurp(dev / "p/b.lua"), "device's edit");
}

TEST_F(Kvb, TheFolderSpelledWithATrailingSlashHasTheSameRecord) {
    Spit(pc / "p/a.lua", "a");
    ASSERT_EQ(Run("sync up pc/p /p").status, 0);
    Spit(pc / "p/a.lua", "pc's a");
    Spit(dev / "p/a.lua", "device's a");
    fs::last_write_time(dev / "p/a.lua",
                        fs::last_write_time(dev / "p/a.lua") - std::chrono::hours(1));
    const Result r = Run("sync up pc/p/ /p/");
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("skip conflict a.lua"), std::string::npos) << r.out;
    EXPECT_EQ(Slurp(dev / "p/a.lua"), "device's a");
}

TEST_F(Kvb, SyncDeletesOnlyWithDeleteAndComparesByContentWithChecksum) {
    Spit(pc / "p/same.lua", "same");
    Spit(dev / "p/same.lua", "same");
    Spit(pc / "p/new.lua", "new");
    Spit(dev / "p/extra.lua", "e");
    Spit(dev / "p/old/x.lua", "x");
    Result r = Run("sync up --checksum pc/p /p");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sent("NFWRITE"), std::vector<std::string>{"NFWRITE \"/p/new.lua\"\t3\tw"});
    EXPECT_TRUE(fs::exists(dev / "p/extra.lua"));
    r = Run("sync up --delete pc/p /p");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(dev / "p/extra.lua"));
    EXPECT_FALSE(fs::exists(dev / "p/old"));
    EXPECT_EQ(Slurp(dev / "p/same.lua"), "same");
    // Down: PC files go only with --delete; a hostile device name is refused, nothing outside.
    Spit(pc / "p/pc only.lua", "p");
    EXPECT_EQ(Run("sync down /p pc/p").status, 0);
    EXPECT_TRUE(fs::exists(pc / "p/pc only.lua"));
    EXPECT_EQ(Run("sync down --delete /p pc/p").status, 0);
    EXPECT_FALSE(fs::exists(pc / "p/pc only.lua"));
    r = Run("sync down /p back", "", "listing-line=../up\\t2\\t32\\t0\\t0\\t0");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("/p/../up: an unsafe name"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(dir / "back/same.lua"), "same");
    EXPECT_FALSE(fs::exists(dir / "up"));
}

TEST_F(Kvb, GetAndPutKeepWhatExistsWithNoClobberAndSendChangesOnlyWithUpdate) {
    Spit(pc / "a.txt", "pc");
    Spit(dev / "a.txt", "device");
    EXPECT_EQ(Run("put -n pc/a.txt /").status, 0);
    EXPECT_EQ(Slurp(dev / "a.txt"), "device");
    EXPECT_EQ(Run("get -n /a.txt pc/a.txt").status, 0);
    EXPECT_EQ(Run("get -n -r / pc").status, 0);
    EXPECT_EQ(Slurp(pc / "a.txt"), "pc");
    // Different and never synced: kept on both sides and named.
    Result r = Run("put --update pc/a.txt /");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.out.find("differs, and this pair was never synced"), std::string::npos) << r.out;
    EXPECT_EQ(Slurp(dev / "a.txt"), "device");
    EXPECT_EQ(Run("put -u pc/a.txt /").status, 2) << "-u is not cp's";
    EXPECT_EQ(Run("put pc/a.txt /").status, 0);
    EXPECT_EQ(Run("put --update pc/a.txt /").status, 0);
    EXPECT_TRUE(Sent("NFWRITE").empty()) << "the same on both sides";
    Spit(pc / "tree/t.txt", "t");
    EXPECT_EQ(Run("put --update -r pc/tree /").status, 0);
    EXPECT_EQ(Run("put --update -r pc/tree /").status, 0);
    EXPECT_TRUE(Sent("NFWRITE").empty());
    Spit(dev / "tree/t.txt", "device's t");
    EXPECT_EQ(Run("get --update -r /tree pc").status, 0);
    EXPECT_EQ(Slurp(pc / "tree/t.txt"), "device's t");
}

TEST_F(Kvb, WatchSendsEachSavedFileUntilCtrlC) {
    Spit(pc / "w/a.lua", "1");
    const std::string command = "cd '" + dir.string() +
                                "' && (KVB_VIRTUAL_TIME=1 XDG_STATE_HOME='" +
                                (dir / "state").string() + "' " + KV_KVB_FILE +
                                " --simulate dev sync up --watch pc/w /w >stdout 2>stderr & "
                                "echo $! > pid; wait $!; echo $? > status) &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto within = [&](auto done) {
        for (int i = 0; i < 200 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    ASSERT_TRUE(within([&] { return Slurp(dev / "w/a.lua") == "1"; })) << Slurp(dir / "stderr");
    ASSERT_TRUE(
        within([&] { return Slurp(dir / "stderr").find("watching") != std::string::npos; }));
    Spit(pc / "w/a.lua", "22");
    Spit(pc / "w/sub/b.lua", "b");
    EXPECT_TRUE(within([&] { return Slurp(dev / "w/a.lua") == "22"; })) << Slurp(dir / "stderr");
    EXPECT_TRUE(within([&] { return Slurp(dev / "w/sub/b.lua") == "b"; }));
    std::system(("kill -INT $(cat '" + (dir / "pid").string() + "')").c_str());
    ASSERT_TRUE(within([&] { return !Slurp(dir / "status").empty(); }));
    EXPECT_EQ(Slurp(dir / "status"), "130\n");
    const std::string out = Slurp(dir / "stdout");
    EXPECT_NE(out.find("send changed a.lua\n"), std::string::npos) << out;
    EXPECT_NE(out.find("send new sub/b.lua\n"), std::string::npos) << out;
}

// Two devices and no --device: the watched one goes in the middle of a send and comes back. The
// watch waits for that one and sends there again, never to the other.
TEST_F(Kvb, WatchWaitsForItsOwnDeviceAndNeverSendsToAnother) {
    fs::create_directories(dir / "dev2");
    Spit(pc / "w/a.lua", "1");
    const std::string command =
        "cd '" + dir.string() +
        "' && (KVB_VIRTUAL_TIME=1 "
        "KVB_SIM_FAULTS_1='unplug-at=3000;unplug-for=5000' " +
        KV_KVB_FILE +
        " --simulate dev --simulate dev2 sync up --watch pc/w /w >stdout 2>stderr & "
        "echo $! > pid; wait $!; echo $? > status) &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto within = [&](auto done) {
        for (int i = 0; i < 200 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    ASSERT_TRUE(within([&] { return Slurp(dir / "stderr").find("watching") != std::string::npos; }))
        << Slurp(dir / "stderr");
    ASSERT_EQ(Slurp(dev / "w/a.lua"), "1");
    // About 4 s on the link: the device goes at 3 s.
    const std::string big = EveryByte(1000);
    Spit(pc / "w/big.bin", big);
    EXPECT_TRUE(within([&] { return Slurp(dev / "w/big.bin") == big; })) << Slurp(dir / "stderr");
    std::system(("kill -INT $(cat '" + (dir / "pid").string() + "')").c_str());
    ASSERT_TRUE(within([&] { return !Slurp(dir / "status").empty(); }));
    EXPECT_FALSE(fs::exists(dir / "dev2/w")) << "nothing of the watch on the other device";
    const std::string err = Slurp(dir / "stderr");
    EXPECT_NE(err.find("waiting for it"), std::string::npos) << err;
    EXPECT_NE(err.find("the device is back"), std::string::npos) << err;
}

} // namespace
