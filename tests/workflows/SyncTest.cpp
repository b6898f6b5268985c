// The pieces a sync decides with: SHA-256 against published vectors, the ignore patterns against
// a table, the decision for each way a file's two sides can stand, the record's round trip, and
// the watch: settling and the system's change notices.
#include "SyncWatch.h"
#include "support/WorkRig.h"
#include "workflows/DeviceSync.h"
#include "workflows/IgnoreRules.h"
#include "workflows/PcFiles.h"
#include "workflows/Sha256.h"
#include "workflows/SyncPlatform.h"
#include "workflows/SyncRecord.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace kv;

TEST(Sync, Sha256MatchesThePublishedVectorsFedWholeAndInPieces) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [message, digest] : vectors) {
        EXPECT_EQ(Sha256Hex(message), digest) << message.size() << " bytes";
        TSha256 pieces; // across block edges: 1, 63, 64, 65 bytes at a time
        for (size_t at = 0, step = 1; at < message.size(); at += step, step = step * 4 % 67 + 1)
            pieces.Add(message.substr(at, step));
        EXPECT_EQ(pieces.HexDigest(), digest) << message.size() << " bytes in pieces";
    }
}

TEST(Sync, IgnorePatternsAsPeopleWriteThem) {
    struct Case {
        const char* rules; // lines of a .kvbignore
        const char* path;
        bool directory, ignored;
    };
    const Case cases[] = {
        // Defaults.
        {"", ".git", true, true},
        {"", ".git/config", false, true},
        {"", "sub/.git/HEAD", false, true},
        {"", ".kvbignore", false, true},
        {"", "main.lua~", false, true},
        {"", "Lua/.main.lua.swp", false, true},
        {"", "main.lua", false, false},
        {"", ".gitignore", false, false},
        // A name matches at any level; "*" and "?" stay within one.
        {"*.log", "a.log", false, true},
        {"*.log", "deep/er/a.log", false, true},
        {"*.log", "a.log.txt", false, false},
        {"a?c", "abc", false, true},
        {"a?c", "a/c", false, false},
        {"build", "x/build/out.bin", false, true},
        // "/" at the start or inside ties the pattern to the top.
        {"/top.txt", "top.txt", false, true},
        {"/top.txt", "sub/top.txt", false, false},
        {"doc/*.md", "doc/a.md", false, true},
        {"doc/*.md", "doc/sub/a.md", false, false},
        {"doc/*.md", "x/doc/a.md", false, false},
        // "**" spans levels.
        {"**/cache", "cache", true, true},
        {"**/cache", "a/b/cache", true, true},
        {"a/**/z", "a/z", false, true},
        {"a/**/z", "a/b/c/z", false, true},
        {"a/**/z", "b/a/z", false, false},
        {"out/**", "out/x/y.bin", false, true},
        {"out/**", "out", true, false},
        {"x**y", "xay", false, true},
        {"x**y", "xa/y", false, false},
        // A trailing "/" is for directories only, and takes what is in them.
        {"tmp/", "tmp", true, true},
        {"tmp/", "tmp", false, false},
        {"tmp/", "tmp/a.lua", false, true},
        // "!" takes back, the last match wins, and nothing comes back from an ignored directory.
        {"*.log\n!keep.log", "keep.log", false, false},
        {"*.log\n!keep.log", "drop.log", false, true},
        {"!keep.log\n*.log", "keep.log", false, true},
        {"logs/\n!logs/keep.log", "logs/keep.log", false, true},
        {"!.kvbignore", ".kvbignore", false, false},
        // Classes, escapes, comments, blank lines, trailing spaces.
        {"[abc].txt", "b.txt", false, true},
        {"[abc].txt", "d.txt", false, false},
        {"[!abc].txt", "d.txt", false, true},
        {"[a-c]x", "bx", false, true},
        {"[a-c]x", "dx", false, false},
        {"[x", "[x", false, true},
        {"\\#hash", "#hash", false, true},
        {"\\!bang", "!bang", false, true},
        {"\\*", "*", false, true},
        {"\\*", "a", false, false},
        {"# a.txt\n\n   \n", "# a.txt", false, false},
        {"a.txt   ", "a.txt", false, true},
        {"a.txt\r", "a.txt", false, true},
    };
    for (const auto& c : cases) {
        TIgnoreRules rules;
        rules.AddLines(c.rules);
        EXPECT_EQ(rules.Ignored(c.path, c.directory), c.ignored)
            << "\"" << c.rules << "\" on " << c.path << (c.directory ? "/" : "");
    }
}

TEST(Sync, EachWayTheTwoSidesStandHasItsDecision) {
    using S = SideState;
    using A = SyncAction;
    using R = SyncReason;
    const std::optional<bool> none;
    struct Case {
        S source, target;
        std::optional<bool> equal;
        SyncRules rules;
        A action;
        R reason;
        bool unresolved;
    };
    const SyncRules plain, del{true, false, false}, sourceWins{false, true, false},
        targetWins{false, false, true}, delSourceWins{true, true, false};
    const Case cases[] = {
        {S::Unknown, S::Absent, none, plain, A::Send, R::New, false},
        {S::Unchanged, S::Absent, none, plain, A::Send, R::New, false}, // removed at the target
        {S::Absent, S::Unknown, none, plain, A::Skip, R::Extra, false},
        {S::Absent, S::Unknown, none, del, A::Delete, R::Extra, false},
        {S::Absent, S::Unchanged, none, del, A::Delete, R::Extra, false},
        {S::Absent, S::Changed, none, del, A::Skip, R::Conflict, true},
        {S::Absent, S::Changed, none, delSourceWins, A::Delete, R::Conflict, false},
        // Without a record: the same content is in step; anything else is a conflict.
        {S::Unknown, S::Unknown, none, plain, A::Skip, R::Conflict, true},
        {S::Unknown, S::Unknown, false, plain, A::Skip, R::Conflict, true},
        {S::Unknown, S::Unknown, false, sourceWins, A::Send, R::Conflict, false},
        {S::Unknown, S::Unknown, true, plain, A::Skip, R::Unchanged, false},
        // With a record.
        {S::Unchanged, S::Unchanged, none, plain, A::Skip, R::Unchanged, false},
        {S::Changed, S::Unchanged, none, plain, A::Send, R::Changed, false},
        // Changed at the target only: never sent over unseen.
        {S::Unchanged, S::Changed, none, plain, A::Skip, R::Conflict, true},
        {S::Unchanged, S::Changed, none, sourceWins, A::Send, R::Conflict, false},
        {S::Unchanged, S::Changed, none, targetWins, A::Skip, R::Conflict, false},
        {S::Changed, S::Changed, none, plain, A::Skip, R::Conflict, true},
        {S::Changed, S::Changed, none, sourceWins, A::Send, R::Conflict, false},
        {S::Changed, S::Changed, none, targetWins, A::Skip, R::Conflict, false},
    };
    for (const auto& c : cases) {
        const SyncDecision d = DecideSync(c.source, c.target, c.equal, c.rules);
        const std::string what = std::to_string(int(c.source)) + "/" +
                                 std::to_string(int(c.target)) + " delete " +
                                 std::to_string(c.rules.DeleteExtra);
        EXPECT_EQ(d.Action, c.action) << what;
        EXPECT_EQ(d.Reason, c.reason) << what;
        EXPECT_EQ(d.Unresolved, c.unresolved) << what;
    }
}

struct SyncFolder : ::testing::Test {
    fs::path dir =
        fs::temp_directory_path() / ("kv-sync-" + std::to_string(std::random_device{}()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(SyncFolder, TheRecordComesBackAsWrittenAndOnePerDeviceAndFolderPair) {
    TSyncRecord record;
    record.Files["a/tab\there%20.lua"] = {12, -5, "abc", 12, "2026-01-02 03:04:06"};
    record.Files["caf\xE9\nnew"] = {0, 7, "", -1, ""};
    const fs::path file = TSyncRecord::FileFor(dir, "KV-1", "pc", "/Lua");
    record.Save(file, "about\tit");
    TSyncRecord back;
    back.Load(file);
    ASSERT_EQ(back.Files.size(), 2u);
    const auto& a = back.Files.at("a/tab\there%20.lua");
    EXPECT_EQ(a.PcSize, 12u);
    EXPECT_EQ(a.PcTime, -5);
    EXPECT_EQ(a.PcHash, "abc");
    EXPECT_EQ(a.DeviceStamp, "2026-01-02 03:04:06");
    EXPECT_EQ(back.Files.at("caf\xE9\nnew").DeviceSize, -1);
    // Another device, or another folder on either side: another record.
    EXPECT_NE(TSyncRecord::FileFor(dir, "KV-2", "pc", "/Lua"), file);
    EXPECT_NE(TSyncRecord::FileFor(dir, "KV-1", "pc2", "/Lua"), file);
    EXPECT_NE(TSyncRecord::FileFor(dir, "KV-1", "pc", "/Lua2"), file);
    EXPECT_EQ(TSyncRecord::FileFor(dir, "../../x", "pc", "/").parent_path(), file.parent_path());
    // A damaged line is a file without a record; a file not of this program, an empty record.
    EXPECT_EQ(back.Damage, "");
    std::ofstream(file, std::ios::app) << "bad\tline\n"
                                       << "neg\t-1\t0\th\t0\t\n"
                                       << "tail\t12x\t0\th\t0\t\n";
    back.Load(file);
    EXPECT_EQ(back.Files.size(), 2u) << "a number with more to it, or a size below 0, is no number";
    EXPECT_EQ(back.Damage, "3 damaged lines");
    std::ofstream(file) << "something else\n";
    back.Load(file);
    EXPECT_TRUE(back.Files.empty());
    EXPECT_EQ(back.Damage, "it does not start as a sync record");
}

TEST_F(SyncFolder, OneRecordPerPairOfFoldersHoweverSpelledAndTheEarlierKeyIsStillRead) {
    fs::create_directories(dir / "pc/sub");
    std::vector<fs::path> spellings{dir / "pc/", dir / "pc/sub/.."};
    std::error_code ec; // where the system makes no links (Wine), the link spellings are left out
    fs::create_directory_symlink(dir / "pc", dir / "link", ec);
    if (!ec) spellings.insert(spellings.end(), {dir / "link", dir / "link/"});
    const fs::path file = TSyncRecord::FileFor(dir, "KV-1", dir / "pc", "/Lua");
    for (const fs::path& spelled : spellings)
        EXPECT_EQ(TSyncRecord::FileFor(dir, "KV-1", spelled, "/Lua/"), file) << spelled;
    // A record kept under the key of earlier versions is read until the pair has its own.
    TSyncRecord earlier;
    earlier.Files["a.lua"] = {1, 2, "h", 1, ""};
    earlier.Save(TSyncRecord::EarlierFileFor(dir, "KV-1", dir / "pc/", "/Lua"), "earlier");
    TSyncRecord back;
    back.Load(file, TSyncRecord::EarlierFileFor(dir, "KV-1", dir / "pc/", "/Lua"));
    EXPECT_EQ(back.Files.size(), 1u);
    TSyncRecord{}.Save(file, "now");
    back.Load(file, TSyncRecord::EarlierFileFor(dir, "KV-1", dir / "pc/", "/Lua"));
    EXPECT_TRUE(back.Files.empty()) << "the pair's own record comes first";
}

// The state folder is moved for the test through the variable that names it on each system.
void SetStateFolder(const fs::path& folder) {
#ifdef _WIN32
    _wputenv_s(L"LOCALAPPDATA", folder.wstring().c_str());
#else
    ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
#endif
}

TEST_F(SyncFolder, ThePairsSyncedBeforeAreReadFromTheirRecordsAndOnlyWhenTheyNameThemExactly) {
#ifdef _WIN32
    const std::wstring local = _wgetenv(L"LOCALAPPDATA") ? _wgetenv(L"LOCALAPPDATA") : L"";
#endif
    SetStateFolder(dir / "state");
    fs::create_directories(dir / "pc");
    fs::create_directories(dir / "other");
    const auto keep = [&](const std::string& serial, const fs::path& pc,
                          const std::string& device) {
        const SyncOptions options = SyncPairOptions(serial, true, pc, device);
        TSyncRecord{}.Save(options.RecordFile, options.About);
        return options.RecordFile;
    };
    const fs::path first = keep("KV-1", dir / "pc", "/Lua");
    fs::last_write_time(first, fs::last_write_time(first) - std::chrono::seconds(10));
    keep("KV-1", dir / "other/", "");
    keep("KV-2", dir / "pc", "/Config");
    // A record whose first line names another pair than its own: passed over.
    const fs::path moved = keep("KV-1", dir / "pc", "/caf\xE9");
    TSyncRecord{}.Save(moved, "device KV-1, PC folder " + ShownPath(dir / "other") +
                                  ", device folder /Elsewhere");
    const auto pairs = TSyncRecord::PairsOf(dir / "state", "KV-1");
#ifdef _WIN32
    _wputenv_s(L"LOCALAPPDATA", local.c_str());
#else
    ::unsetenv("XDG_STATE_HOME");
#endif
    std::set<std::pair<fs::path, std::string>> found;
    for (const auto& pair : pairs)
        found.insert({pair.PcFolder, pair.DeviceFolder});
    EXPECT_EQ(found, (std::set<std::pair<fs::path, std::string>>{{dir / "pc", "/Lua"},
                                                                 {dir / "other", ""}}));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs.front().PcFolder, dir / "other") << "the latest first";
}

TEST_F(SyncFolder, AFolderGoneFromThePcGoesFromTheDeviceOnlyAsFarAsItMay) {
    kvtest::WorkRig rig;
    ASSERT_TRUE(rig.connected);
    auto& env = rig.env;
    auto& work = rig.work;
    const auto spit = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    };
    const auto onDevice = [&](const std::string& path) {
        sim::SimEntry entry;
        return env.fs->Stat(sim::SplitPath(path), entry);
    };
    const fs::path pc = dir / "pc";
    spit(pc / ".kvbignore", "*.bak\n");
    spit(pc / "old/a.lua", "a");
    spit(pc / "old/b.lua", "b");
    spit(pc / "old/sub/c.lua", "c");
    SyncOptions options;
    options.PcFolder = pc;
    options.DeviceFolder = "/w";
    options.RecordFile = dir / "record.txt";
    options.DeleteExtra = true;
    TDeviceSync first(work, options);
    ASSERT_TRUE(first.Plan().Ok());
    first.Run();
    ASSERT_TRUE(onDevice("/w/old/sub/c.lua"));
    // On the device: a file of its own that the PC ignores, and a synced file changed there.
    env.fs->AddFile("/w/old/keep.bak", "the device's own");
    env.fs->AddFile("/w/old/b.lua", "changed on the device");
    fs::rename(pc / "old", dir / "elsewhere");

    TDeviceSync watch(work, options);
    ASSERT_TRUE(watch.PlanPaths({"old"}).Ok());
    watch.Run();
    EXPECT_TRUE(onDevice("/w/old/keep.bak"));
    EXPECT_TRUE(onDevice("/w/old/b.lua"));
    EXPECT_FALSE(onDevice("/w/old/a.lua"));
    EXPECT_FALSE(onDevice("/w/old/sub")) << "emptied file by file, then removed";
    const auto& sent = env.device->commands;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "NFWIPEDIR \"/w/old\""), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "NFDEL \"/w/old/a.lua\""), 1);
    const auto old = std::find_if(watch.Items.begin(), watch.Items.end(),
                                  [](const SyncItem& item) { return item.Path == "old"; });
    ASSERT_NE(old, watch.Items.end());
    EXPECT_EQ(old->Decision.Action, SyncAction::Skip);
    EXPECT_EQ(old->Error,
              "kept: it holds old/keep.bak (ignored), old/b.lua (changed since the last sync)");
}

// A file changed on the PC goes beside its old self before its folder is listed: that one
// listing shows what the device holds and the new content whole, so no second listing follows,
// and the record it leaves makes the next sync send nothing. A file changed on the device as
// well stays as the device has it, and the copy beside it goes.
TEST_F(SyncFolder,
       OneListingOfAFolderSeesTheDevicesChangesAndConfirmsWhatWentBesideUnderAFreeName) {
    kvtest::WorkRig rig;
    ASSERT_TRUE(rig.connected);
    auto& env = rig.env;
    env.device->faults.dialect = 1; // it confirms each write in its result format
    auto& work = rig.work;
    const fs::path pc = dir / "pc";
    const auto spit = [&](const std::string& name, const std::string& text) {
        fs::create_directories((pc / name).parent_path());
        std::ofstream(pc / name, std::ios::binary) << text;
    };
    const auto stored = [&](const std::string& path) {
        std::string content;
        return env.fs->ReadFile(sim::SplitPath(path), content) ? content : "<missing>";
    };
    for (const char* name : {"a.lua", "sub/b.lua", "sub/c.lua"})
        spit(name, std::string("old ") + name);
    SyncOptions options;
    options.PcFolder = pc;
    options.DeviceFolder = "/w";
    options.RecordFile = dir / "record.txt";
    options.WriteBeforeListing = true;
    const auto sync = [&](std::vector<fs::path> paths = {}) {
        env.device->commands.clear();
        TDeviceSync once(work, options);
        EXPECT_TRUE((paths.empty() ? once.Plan() : once.PlanPaths(paths)).Ok());
        once.Run();
        return once.Unresolved();
    };
    sync();
    spit("sub/b.lua", "new sub/b.lua, longer");
    spit("sub/c.lua", "new sub/c.lua on the PC");
    env.fs->WriteFile(sim::SplitPath("/w/sub/c.lua"), "c.lua as the device changed it", 0);
    EXPECT_EQ(sync(), 1) << "c.lua, changed on both sides";
    EXPECT_EQ(env.device->commands,
              (std::vector<std::string>{"NFWRITE \"/w/sub/b.lua.kvbnew\"\t21\tw",
                                        "NFWRITE \"/w/sub/c.lua.kvbnew\"\t23\tw", "NFDIR @\"/w\"",
                                        "NFDIR @\"/w/sub\"", "NFDEL \"/w/sub/b.lua\"",
                                        "NFRENAME \"/w/sub/b.lua.kvbnew\" \"b.lua\"",
                                        "NFDEL \"/w/sub/c.lua.kvbnew\""}));
    EXPECT_EQ(stored("/w/sub/b.lua"), "new sub/b.lua, longer");
    EXPECT_EQ(stored("/w/sub/c.lua"), "c.lua as the device changed it");
    EXPECT_EQ(stored("/w/sub/b.lua.kvbnew"), "<missing>");
    EXPECT_EQ(stored("/w/sub/c.lua.kvbnew"), "<missing>");
    // The watch's way, one file: the same, and its folder listed once.
    spit("a.lua", "new a.lua");
    // Of the same size: its stamp tells, even where the file system keeps stamps coarsely.
    fs::last_write_time(pc / "a.lua", fs::last_write_time(pc / "a.lua") + std::chrono::seconds(2));
    // The device holds a user's file of the copy's usual name: the copy takes a free one, and
    // the user's file is neither written, deleted, fetched nor deleted as extra.
    env.fs->AddFile("/w/a.lua.kvbnew", "mine");
    options.DeleteExtra = true;
    sync({"a.lua"});
    EXPECT_EQ(env.device->commands,
              (std::vector<std::string>{"NFDIR @\"/w\"", "NFWRITE \"/w/a.lua.kvbnew2\"\t9\tw",
                                        "NFDIR @\"/w\"", "NFDEL \"/w/a.lua\"",
                                        "NFRENAME \"/w/a.lua.kvbnew2\" \"a.lua\""}));
    EXPECT_EQ(stored("/w/a.lua"), "new a.lua");
    EXPECT_EQ(stored("/w/a.lua.kvbnew"), "mine");
    options.Up = false;
    sync();
    options.Up = true;
    options.DeleteExtra = false;
    EXPECT_FALSE(fs::exists(pc / "a.lua.kvbnew"));
    EXPECT_EQ(stored("/w/a.lua.kvbnew"), "mine");
    // What went is on record as the device lists it: nothing more goes, and c.lua stays open.
    EXPECT_EQ(sync(), 1);
    EXPECT_EQ(env.device->commands,
              (std::vector<std::string>{"NFWRITE \"/w/sub/c.lua.kvbnew\"\t23\tw", "NFDIR @\"/w\"",
                                        "NFDIR @\"/w/sub\"", "NFDEL \"/w/sub/c.lua.kvbnew\""}));
}

// Names that differ only in case, on a device that folds case (as by default) and on one that
// does not: up and down, with and without --delete, neither side's file is sent onto the other or
// deleted, and the pair is a conflict named in the plan.
TEST_F(SyncFolder, NamesThatDifferOnlyInCaseAreAConflictNeverSentOntoEachOtherOrDeleted) {
    for (const bool caseSensitive : {false, true})
        for (const bool up : {true, false})
            for (const bool deleteExtra : {false, true}) {
                SCOPED_TRACE(std::string(caseSensitive ? "case-sensitive" : "folding") +
                             (up ? " up" : " down") + (deleteExtra ? " --delete" : ""));
                kvtest::WorkRig rig;
                ASSERT_TRUE(rig.connected);
                rig.env.device->faults.caseSensitive = caseSensitive;
                const fs::path pc = dir / "pc";
                fs::remove_all(pc);
                fs::create_directories(pc);
                std::ofstream(pc / "Readme.txt", std::ios::binary) << "pc";
                rig.env.fs->AddFile("/X/readme.txt", "device");
                SyncOptions options;
                options.Up = up;
                options.PcFolder = pc;
                options.DeviceFolder = "/X";
                options.DeleteExtra = deleteExtra;
                options.WriteBeforeListing = up;
                TDeviceSync sync(rig.work, options);
                ASSERT_TRUE(sync.Plan().Ok());
                sync.Run();
                EXPECT_EQ(sync.Unresolved(), 2);
                std::string onDevice;
                EXPECT_TRUE(rig.env.fs->ReadFile(sim::SplitPath("/X/readme.txt"), onDevice));
                EXPECT_EQ(onDevice, "device");
                EXPECT_FALSE(rig.env.fs->ReadFile(sim::SplitPath("/X/Readme.txt"), onDevice));
                EXPECT_EQ(ReadPcFile(pc / "Readme.txt"), "pc");
                EXPECT_EQ(std::distance(fs::directory_iterator(pc), fs::directory_iterator()), 1);
            }
}

TEST(Sync, APathIsHandedOnOnlyOnceQuietForHalfASecond) {
    TQuietPaths quiet(500);
    quiet.Changed("a.lua", 0);
    quiet.Changed("b.lua", 100);
    EXPECT_EQ(quiet.NextInMs(200), 300);
    quiet.Changed("a.lua", 400); // the editor's second step
    EXPECT_TRUE(quiet.Settled(599).empty());
    EXPECT_EQ(quiet.Settled(600), std::vector<fs::path>{"b.lua"});
    EXPECT_EQ(quiet.NextInMs(600), 300);
    EXPECT_EQ(quiet.Settled(900), std::vector<fs::path>{"a.lua"});
    EXPECT_EQ(quiet.NextInMs(900), -1);
}

TEST(Sync, APathWhoseWriteFinishedIsHandedOnSoonUnlessAWriterTakesItUpAgain) {
    TQuietPaths quiet(500, 50);
    quiet.Changed("a.lua", 0, true); // closed after writing
    quiet.Changed("b.lua", 0);       // still open for writing
    EXPECT_EQ(quiet.NextInMs(10), 40);
    EXPECT_TRUE(quiet.Settled(49).empty());
    EXPECT_EQ(quiet.Settled(50), std::vector<fs::path>{"a.lua"});
    quiet.Changed("c.lua", 60, true);
    quiet.Changed("c.lua", 70); // the next step of the same save opens it again
    EXPECT_TRUE(quiet.Settled(200).empty());
    EXPECT_EQ(quiet.Settled(500), std::vector<fs::path>{"b.lua"});
    EXPECT_EQ(quiet.Settled(570), std::vector<fs::path>{"c.lua"});
}

TEST_F(SyncFolder, TheWatchSeesSavesAlsoInFoldersMadeWhileWatching) {
    const auto watch = WatchFolder(dir);
    EXPECT_TRUE(SeenBy(*watch, "a.lua", [&] { std::ofstream(dir / "a.lua") << "a"; }));
    EXPECT_TRUE(SeenBy(*watch, "new", [&] { fs::create_directories(dir / "new/deeper"); }));
    EXPECT_TRUE(SeenBy(*watch, fs::path("new/deeper/b.lua"),
                       [&] { std::ofstream(dir / "new/deeper/b.lua") << "b"; }));
    EXPECT_TRUE(SeenBy(*watch, "a.lua", [&] { fs::remove(dir / "a.lua"); }));
}

} // namespace
