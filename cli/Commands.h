// The commands of kvb; each returns its exit status or raises Failure.
#pragma once

#include "Kvb.h"

#include <string>
#include <vector>

namespace kvb {

struct LsOptions {
    std::string path = "/";
    bool longFormat = false, recursive = false, json = false;
};

struct TransferOptions {
    std::vector<std::string> sources;
    std::string target;
    bool recursive = false, verify = false, proper = false;
};

struct LogOptions {
    bool modem = false;
    std::vector<int> types;
    double seconds = 0; // 0: until interrupted
};

int Devices(const GlobalOptions& options, bool json);
int Info(Session& s);
int Ls(Session& s, const LsOptions& o);
int Tree(Session& s, const std::string& path);
int Get(Session& s, const TransferOptions& o);
int Cat(Session& s, const std::string& path);
int Put(Session& s, const TransferOptions& o);
int Rm(Session& s, const std::vector<std::string>& paths, bool recursive);
int Mkdir(Session& s, const std::string& path);
int Mv(Session& s, const std::string& path, const std::string& newName);
int Touch(Session& s, const std::string& path);
int Edit(Session& s, const std::string& path);
int Flash(Session& s, const std::vector<std::string>& images, bool noRun);
int Exec(Session& s, const std::string& line, int timeoutMs);
int Term(Session& s);
int Log(Session& s, const LogOptions& o);

} // namespace kvb
