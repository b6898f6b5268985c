// The simulated device with the host's stack connected to it: link, console, file service (paths
// quoted, as the device asks) and the workflows' device work, whose messages go nowhere.
#pragma once

#include "support/SimFixture.h"

#include "files/kvbFiles.h"
#include "workflows/DeviceWork.h"

#include <string>

namespace kvtest {

struct QuietHost : kv::IWorkHost {
    std::string printed;
    void Print(const std::string& Text, kv::MessageStyle) override { printed += Text; }
};

struct WorkRig {
    SimEnvironment env;
    kv::TkvComms comms;
    kv::TkvTerminal term{comms};
    kv::TkvbFiles files{term};
    QuietHost host;
    kv::TDeviceWork work{files, host};
    const bool connected = comms.Connect();
    WorkRig() { files.QuotePaths = true; }
};

} // namespace kvtest
