// The commands of kvb; each returns its exit status or raises Failure.
#pragma once

#include "Kvb.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace kvb {

struct LsOptions {
    std::vector<std::string> paths; // none: the root
    bool longFormat = false, recursive = false, json = false;
};

struct TransferOptions {
    std::vector<std::string> sources;
    std::string target;
    bool recursive = false, verify = false, proper = false;
    bool noClobber = false; // -n: what exists at the target is kept
    bool update = false;    // -u: only what changed since the last sync or copy (the sync rules)
};

struct SyncCommandOptions {
    bool up = true;
    std::string pcFolder, deviceFolder;
    bool dryRun = false, json = false, deleteExtra = false, checksum = false, watch = false;
    std::string force; // "", "pc" or "device"
    std::vector<std::string> excludes;
};

struct LogOptions {
    bool modem = false;
    std::vector<int> types;
    double seconds = 0; // 0: until interrupted
};

struct MountOptions {
    std::string deviceDir, mountPoint;
    bool background = false;
    bool resend = false; // sends what the recovery folder keeps for the device, and ends
};

int Devices(const GlobalOptions& options, bool json);
int Info(Session& s);
int Ls(Session& s, const LsOptions& o);
int Tree(Session& s, const std::string& path);
int Get(Session& s, const TransferOptions& o);
int Cat(Session& s, const std::vector<std::string>& paths);
int Put(Session& s, const TransferOptions& o);
int Rm(Session& s, const std::vector<std::string>& paths, bool recursive);
int Mkdir(Session& s, const std::vector<std::string>& paths, bool parents);
int Mv(Session& s, const std::string& path, const std::string& newName);
// mv to a path in another folder (or into a folder): a copy checked by a listing, then the
// original deleted.
int MoveAcross(Session& s, const std::string& path, const std::string& to);
int Touch(Session& s, const std::vector<std::string>& paths);
int Edit(Session& s, const std::string& path);
int Flash(Session& s, const std::vector<std::string>& images, bool noRun);
int Exec(Session& s, const std::string& line, int timeoutMs);
int Term(Session& s);
int Log(Session& s, const LogOptions& o);
int Sync(Session& s, const SyncCommandOptions& o);
// The device folder as a PC folder until unmounted (where kvb is built with FUSE).
int Mount(Session& s, const MountOptions& o);
// get and put with --update: the sync of one folder pair, one way, without deleting; Only names
// the files of the PC or device folder concerned (none: the whole tree).
void UpdateFolder(Session& s, bool up, const std::filesystem::path& pcFolder,
                  const std::string& deviceFolder, const std::set<std::string>& only);
// What the workflows could not move, and the --verify mismatches: each named, then the failure.
void FailOnWhatWasNotMoved(Session& s);

} // namespace kvb
