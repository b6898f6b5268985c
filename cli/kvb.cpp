// kvb [global options] COMMAND [arguments]: the device from a terminal or a script.
#include "ChildProcess.h"
#include "Commands.h"
#include "Many.h"

#include "device/DeviceText.h"
#include "device/Errors.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef KV_VERSION
#define KV_VERSION "0"
#endif

namespace {

const char* const kCommands[] = {"devices", "info", "ls",    "tree", "get",   "cat",
                                 "put",     "rm",   "mkdir", "mv",   "touch", "edit",
                                 "flash",   "exec", "term",  "log",  "sync",
#ifdef KV_HAVE_FUSE
                                 "mount"
#endif
};

bool IsCommand(const char* word) {
    for (const char* c : kCommands)
        if (std::strcmp(c, word) == 0) return true;
    return false;
}

const char* const kStatuses = "Exit status: 0 success; 2 usage; 3 no device; 4 the device refused, "
                              "did not answer or a file did not move whole; 5 a PC file cannot be "
                              "read or written; 6 a device is attached but cannot be opened; 130 "
                              "interrupted (what was done is kept).";

// Global options that take a value as the next word.
bool TakesValue(const std::string& word) {
    for (const char* option : {"--device", "--password", "--wait", "--report", "--count"})
        if (word == option) return true;
    return false;
}

// The words each device's own kvb gets from this command line (after its --device): the global
// options but those of many devices, --device and --password (which goes in the environment),
// then the command and its arguments as they were given. args holds no --simulate.
std::vector<std::string> ChildArguments(const std::vector<char*>& args,
                                        const kvb::GlobalOptions& global) {
    std::vector<std::string> out;
    for (const auto& folder : global.folders)
        out.push_back("--simulate=" + folder);
    size_t i = 1;
    for (; i < args.size(); ++i) {
        const std::string word = args[i];
        if (word.empty() || word[0] != '-') break; // the command
        const std::string name = word.substr(0, word.find('='));
        const bool dropped = name == "--all" || name == "--each-new" || name == "--again" ||
                             name == "--report" || name == "--count" || name == "--device" ||
                             name == "--password";
        const bool value = TakesValue(word) && i + 1 < args.size();
        if (!dropped) {
            out.push_back(word);
            if (value) out.push_back(args[i + 1]);
        }
        if (value) ++i;
    }
    for (; i < args.size(); ++i)
        out.push_back(args[i]);
    return out;
}

} // namespace

int main(int argc, char** rawArgv) {
    kvb::WorkerMode(); // read before this process sets it for its own children
    // Everything typed is UTF-8 from here on; device paths become the device's 8-bit text where
    // they are read (DevicePath).
    std::vector<std::string> utf8 = kvb::Utf8Arguments(argc, rawArgv);
    std::vector<char*> argvUtf8;
    for (auto& word : utf8)
        argvUtf8.push_back(word.data());
    argvUtf8.push_back(nullptr);
    char** argv = argvUtf8.data();
    kvb::GlobalOptions global;
    // --simulate takes an optional folder, which CLI11 cannot tell from the command that follows:
    // it is taken here. Each --simulate attaches one simulated device.
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--simulate") == 0) {
            global.simulate = true;
            if (i + 1 < argc && argv[i + 1][0] != '-' && !IsCommand(argv[i + 1]))
                global.folders.push_back(argv[++i]);
            else
                global.folders.push_back("");
        } else if (std::strncmp(argv[i], "--simulate-dialect=", 19) == 0) {
            // The simulated devices' words (1 or 2), for this process and those it starts.
            const std::string dialect = argv[i] + 19;
            if (dialect != "1" && dialect != "2") {
                std::fprintf(stderr, "kvb: --simulate-dialect takes 1 or 2\n");
                return kvb::kUsage;
            }
#ifdef _WIN32
            _putenv_s("KVB_SIM_DIALECT", dialect.c_str());
#else
            ::setenv("KVB_SIM_DIALECT", dialect.c_str(), 1);
#endif
        } else if (std::strncmp(argv[i], "--simulate=", 11) == 0) {
            global.simulate = true;
            global.folders.push_back(argv[i] + 11);
        } else {
            args.push_back(argv[i]);
        }
    }
    if (const char* password = std::getenv("KVB_PASSWORD")) global.password = password;

    CLI::App app{
        "kvb: the Kovrin device's console, files, firmware and log from the command line.\n"
        "Device paths are written as the device shows them (\"/Lua/main.lua\"; the root "
        "is \"/\").",
        "kvb"};
    app.footer(
        std::string("Global option --simulate [FOLDER]: run against the simulated device "
                    "(its file system is FOLDER, or a demo tree); each one more attaches one "
                    "more device; --simulate-dialect=2 gives them the second set of words "
                    "where the device's commands leave them free. KVB_SIM_FAULTS=\"NAME=VALUE;"
                    "...\" gives it faults, as the README lists them (unplug-at=MS counts from "
                    "kvb's start, as do present-from and unplug-for).\n"
                    "kvb help VERB shows one command's help.\n"
                    "With --all, --each-new or several --device: exit status 0 only if "
                    "every device succeeded.\n") +
        kStatuses);
    app.set_version_flag("--version", std::string("kvb ") + KV_VERSION);
    std::vector<std::string> deviceSet;
    app.add_option("--device", deviceSet,
                   "Serial number or interface path of the device; given several times, the "
                   "command runs on each of them at once")
        ->envname("KVB_DEVICE");
    kvb::ManyOptions many;
    auto* all = app.add_flag("--all", many.all, "Run the command on every attached device at once");
    auto* eachNew = app.add_flag(
        "--each-new", many.eachNew,
        "Run the command on each device as it is plugged in, several at once, until Ctrl+C");
    app.add_flag("--again", many.again, "With --each-new: also a serial number done before")
        ->needs(eachNew);
    app.add_option("--count", many.count, "With --each-new: end after this many devices")
        ->needs(eachNew);
    app.add_option("--report", many.report,
                   "With many devices: write each device's result to FILE (.json or .csv)");
    all->excludes(eachNew);
    app.add_option("--password", global.password,
                   "Answers a console that asks for a password (or KVB_PASSWORD)");
    app.add_option("--wait", global.waitSeconds, "Seconds to wait for the device to appear");
    app.add_flag("-q,--quiet", global.quiet, "No messages or progress, only errors");
    app.add_flag("-v,--verbose", global.verbose, "Say each file moved");
    app.require_subcommand(1);
    // Device paths start with "/": never taken for options, also on Windows.
    app.allow_windows_style_options(false);

    bool json = false;
    auto* devices = app.add_subcommand("devices", "List every attached device");
    devices->add_flag("--json", json, "As JSON");
    auto* info = app.add_subcommand("info", "The identity of the device, as the window shows it");

    kvb::LsOptions ls;
    auto* lsCmd = app.add_subcommand("ls", "List a device directory");
    lsCmd->add_flag("-l", ls.longFormat, "Size, attributes and creation time");
    lsCmd->add_flag("-R", ls.recursive, "Walk the tree");
    lsCmd->add_flag("--json", ls.json, "As JSON");
    lsCmd->add_option("PATH", ls.paths, "Device directories or files (default /)");
    std::string treePath = "/";
    auto* tree = app.add_subcommand("tree", "Draw a device directory tree");
    tree->add_option("PATH", treePath, "Device directory (default /)");

    kvb::TransferOptions get;
    std::vector<std::string> getArgs;
    auto* getCmd = app.add_subcommand(
        "get", "Copy device files to the PC, byte-exact, with the device's time stamps; without "
               "PC_PATH into the current folder; DEVICE_PATH may end in a pattern ('/Lua/*.lua')");
    getCmd->add_flag("-r", get.recursive, "Copy whole directory trees");
    getCmd->add_flag("--verify", get.verify, "Read each file back and compare");
    getCmd->add_flag("-n,--no-clobber", get.noClobber, "Keep PC files that exist already");
    getCmd->add_flag("--update", get.update,
                     "Only files changed since the last sync or copy (the rules of kvb sync: a "
                     "file changed at the target is kept)");
    getCmd->add_option("DEVICE_PATH... [PC_PATH]", getArgs)->required()->expected(1, -1);
    std::vector<std::string> catPaths;
    auto* cat = app.add_subcommand(
        "cat", "Write device files to standard output (a path may end in a pattern)");
    cat->add_option("DEVICE_PATH", catPaths)->required();

    kvb::TransferOptions put;
    std::vector<std::string> putArgs;
    auto* putCmd = app.add_subcommand("put", "Copy PC files to the device");
    putCmd->add_flag("-r", put.recursive, "Copy whole folder trees, making device directories");
    putCmd->add_flag("--proper", put.proper,
                     "Scripts (.lua) to /Lua/, configuration files (...config.txt) to /Config/");
    putCmd->add_flag("--verify", put.verify, "Read each file back and compare");
    putCmd->add_flag("-n,--no-clobber", put.noClobber, "Keep device files that exist already");
    putCmd->add_flag("--update", put.update,
                     "Only files changed since the last sync or copy (the rules of kvb sync: a "
                     "file changed at the target is kept)");
    putCmd->add_option("PC_PATH... DEVICE_PATH", putArgs)->required()->expected(2, -1);

    std::vector<std::string> rmPaths;
    bool rmRecursive = false;
    auto* rm = app.add_subcommand(
        "rm", "Remove device files (directories with -r); a path may end in a pattern");
    rm->add_flag("-r", rmRecursive, "Remove directories with everything in them");
    rm->add_option("PATH", rmPaths)->required();
    std::string mvPath, mvName, editPath;
    std::vector<std::string> mkdirPaths, touchPaths;
    bool mkdirParents = false;
    auto* mkdir = app.add_subcommand("mkdir", "Make device directories");
    mkdir->add_flag("-p,--parents", mkdirParents,
                    "Also the directories on the way; no error for one that is there");
    mkdir->add_option("PATH", mkdirPaths)->required();
    auto* mv = app.add_subcommand(
        "mv", "Rename a device file or directory; NEW_NAME with a \"/\" moves a file into "
              "another folder (copied, checked by a listing, then the original deleted)");
    mv->add_option("PATH", mvPath)->required();
    mv->add_option("NEW_NAME", mvName)->required();
    auto* touch = app.add_subcommand("touch", "Make empty device files (an existing one is kept)");
    touch->add_option("PATH", touchPaths)->required();
    auto* edit = app.add_subcommand(
        "edit", "Edit a small device text file in $VISUAL or $EDITOR, or a new one; only a change "
                "is written");
    edit->add_option("PATH", editPath)->required();

    std::vector<std::string> images;
    bool noRun = false;
    auto* flash =
        app.add_subcommand("flash", "Load firmware (.blf) through the boot loader, then start it");
    flash->add_flag("--no-run", noRun, "Leave the device in its boot loader");
    flash->add_option("FILE.blf", images)->required();

    std::string line;
    int execTimeout = 1000;
    auto* exec = app.add_subcommand(
        "exec", "Send one console line and print the reply (status 4 for a command the device "
                "does not know)");
    exec->add_option("LINE", line)->required();
    exec->add_option("--timeout", execTimeout, "Milliseconds of silence that end the reply");
    auto* term = app.add_subcommand(
        "term", "An interactive console; Ctrl+] leaves (piped input: until its end)");

    kvb::SyncCommandOptions syncUp, syncDown;
    syncUp.up = true;
    syncDown.up = false;
    auto* sync = app.add_subcommand(
        "sync", "Make a device folder match a PC folder (up) or the reverse (down), sending only "
                "what changed");
    sync->require_subcommand(1);
    const auto syncOptions = [](CLI::App* cmd, kvb::SyncCommandOptions& o) {
        cmd->add_flag("--dry-run", o.dryRun,
                      "Say what would be sent, deleted and skipped, and why; change nothing");
        cmd->add_flag("--json", o.json, "One JSON object per file, one a line");
        cmd->add_flag("--delete", o.deleteExtra, "Remove what exists only at the target");
        cmd->add_flag("--checksum", o.checksum,
                      "Accepted for earlier scripts: without a record, files of equal size are "
                      "always compared by content");
        cmd->add_option("--force", o.force, "The side that wins a conflict: pc or device")
            ->check(CLI::IsMember({"pc", "device"}));
        cmd->add_option("--exclude", o.excludes, "A pattern to leave alone, as in .kvbignore")
            ->take_all();
    };
    auto* syncUpCmd = sync->add_subcommand("up", "Make DEVICE_DIR match PC_DIR");
    syncOptions(syncUpCmd, syncUp);
    syncUpCmd->add_flag("--watch", syncUp.watch,
                        "Then follow PC_DIR and send each saved file, until Ctrl+C");
    syncUpCmd->add_option("PC_DIR", syncUp.pcFolder)->required();
    syncUpCmd->add_option("DEVICE_DIR", syncUp.deviceFolder)->required();
    auto* syncDownCmd = sync->add_subcommand("down", "Make PC_DIR match DEVICE_DIR");
    syncOptions(syncDownCmd, syncDown);
    syncDownCmd->add_option("DEVICE_DIR", syncDown.deviceFolder)->required();
    syncDownCmd->add_option("PC_DIR", syncDown.pcFolder)->required();

    kvb::LogOptions log;
    auto* logCmd = app.add_subcommand("log", "Print the device's log messages until interrupted");
    logCmd->add_flag("--modem", log.modem, "Add the modem traffic");
    logCmd->add_option("--types", log.types, "Only these message types")->delimiter(',');
    logCmd->add_option("--seconds", log.seconds, "Stop after this many seconds");

#ifdef KV_HAVE_FUSE
    kvb::MountOptions mountOptions;
    auto* mountCmd = app.add_subcommand(
        "mount", "Show a device folder as a PC folder until Ctrl+C or fusermount3 -u; files move "
                 "whole, each write is sent when the file is closed or synced");
    mountCmd->add_flag("--background", mountOptions.background,
                       "Go into the background once mounted");
    mountCmd->add_flag("--resend", mountOptions.resend,
                       "Send the writes the device did not take, kept for it in the recovery "
                       "folder, where nothing newer is there; then end");
    mountCmd->add_option("DEVICE_DIR", mountOptions.deviceDir);
    mountCmd->add_option("MOUNTPOINT", mountOptions.mountPoint);
#endif

    // The first word that is not an option is the command: one kvb does not know is said so.
    // "help VERB" is VERB's --help, "help" alone kvb's.
    static char helpFlag[] = "--help";
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string word = args[i];
        if (word == "--") break;
        if (!word.empty() && word[0] == '-') {
            if (TakesValue(word)) ++i;
            continue;
        }
        if (word == "help") {
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            const bool verb = i < args.size() && IsCommand(args[i]);
            args.insert(args.begin() + static_cast<std::ptrdiff_t>(verb ? i + 1 : i), helpFlag);
            if (verb && std::strcmp(args[i], "sync") == 0 && i + 2 < args.size() &&
                (std::strcmp(args[i + 2], "up") == 0 || std::strcmp(args[i + 2], "down") == 0))
                std::swap(args[i + 1], args[i + 2]); // help sync up: sync up --help
            break;
        }
        if (!IsCommand(word.c_str())) {
            std::fprintf(stderr, "kvb: unknown command %s (kvb --help lists the commands)\n",
                         kvb::Printable(word).c_str());
            return kvb::kUsage;
        }
        break;
    }
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kvb::kUsage;
    }

    kvb::InstallInterruptHandler();
    try {
        if (deviceSet.size() == 1 && !many.all && !many.eachNew) global.device = deviceSet[0];
        if (many.all || many.eachNew || deviceSet.size() > 1) {
            many.devices = deviceSet;
            CLI::App* command = app.get_subcommands().front();
            many.command = command->get_name();
            if (many.command == "devices" || many.command == "term" || many.command == "edit" ||
                many.command == "mount")
                throw kvb::Failure(kvb::kUsage, many.command + " works with one device at a time");
            if (flash->parsed()) many.firmware = images;
            many.program = kvb::OwnProgram(argv[0]);
            many.args = ChildArguments(args, global);
            return kvb::Many(global, many);
        }
        if (!many.report.empty())
            throw kvb::Failure(kvb::kUsage, "--report is for many devices (--all, --each-new)");
        if (devices->parsed()) return kvb::Devices(global, json);
        kvb::Session session(global);
        session.Open();
        if (info->parsed()) return kvb::Info(session);
        if (lsCmd->parsed()) return kvb::Ls(session, ls);
        if (tree->parsed()) return kvb::Tree(session, treePath);
        if (getCmd->parsed()) {
            // One path alone is a device path, copied into the current folder.
            if (getArgs.size() == 1) getArgs.push_back(".");
            get.target = getArgs.back();
            get.sources.assign(getArgs.begin(), getArgs.end() - 1);
            return kvb::Get(session, get);
        }
        if (cat->parsed()) return kvb::Cat(session, catPaths);
        if (putCmd->parsed()) {
            put.target = putArgs.back();
            put.sources.assign(putArgs.begin(), putArgs.end() - 1);
            return kvb::Put(session, put);
        }
        if (rm->parsed()) return kvb::Rm(session, rmPaths, rmRecursive);
        if (mkdir->parsed()) return kvb::Mkdir(session, mkdirPaths, mkdirParents);
        if (mv->parsed()) return kvb::Mv(session, mvPath, mvName);
        if (touch->parsed()) return kvb::Touch(session, touchPaths);
        if (edit->parsed()) return kvb::Edit(session, editPath);
        if (flash->parsed()) return kvb::Flash(session, images, noRun);
        if (exec->parsed()) return kvb::Exec(session, line, execTimeout);
        if (term->parsed()) return kvb::Term(session);
        if (logCmd->parsed()) return kvb::Log(session, log);
        if (syncUpCmd->parsed()) return kvb::Sync(session, syncUp);
        if (syncDownCmd->parsed()) return kvb::Sync(session, syncDown);
#ifdef KV_HAVE_FUSE
        if (mountCmd->parsed()) return kvb::Mount(session, mountOptions);
#endif
    } catch (const kvb::Failure& f) {
        if (f.Status == kvb::kInterrupted && syncUp.watch) return f.Status; // the watch's end
        std::fprintf(stderr, "kvb: %s\n", kvb::Printable(f.what()).c_str());
        return f.Status;
    } catch (const kv::EPcFileError& e) {
        std::fprintf(stderr, "kvb: %s\n", kvb::Printable(e.what()).c_str());
        return kvb::kPcFileError;
    } catch (const kv::EKvError& e) {
        // A bad number in a device reply.
        std::fprintf(stderr, "kvb: %s\n", kvb::Printable(kv::Latin1ToUtf8(e.what())).c_str());
        return kvb::kDeviceError;
    }
    return kvb::kUsage;
}
