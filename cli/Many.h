// Many devices at once: kvb --all, kvb --each-new and --device given several times. Each device
// is worked on by a kvb of its own, started with --device and the same command, so that what
// goes to each device is byte for byte what kvb sends to one device, and a device that fails or
// goes away touches no other.
#pragma once

#include "Kvb.h"

#include <string>
#include <vector>

namespace kvb {

struct ManyOptions {
    bool all = false;                  // every attached device
    bool eachNew = false;              // each device as it is plugged in, until Ctrl+C
    bool again = false;                // --each-new: a serial done before is done again
    int count = 0;                     // --each-new: ends after this many devices (0: no limit)
    std::vector<std::string> devices;  // --device given several times: these and no others
    std::string report;                // --report FILE: .json or .csv
    std::string program;               // this program's file, started for each device
    std::vector<std::string> args;     // what each one gets after "--device=ID"
    std::string command;               // the sub-command's name
    std::vector<std::string> firmware; // flash's images, named in the report with their SHA-256
};

// Runs the command on each device and returns the exit status: 0 only when every device
// succeeded, the status they all failed with, or kDeviceError for a mix.
int Many(const GlobalOptions& global, const ManyOptions& options);

} // namespace kvb
