// The workflows that both front ends run on one device link, one class per job, sharing one
// state: the verbs (every read and change of the device's files), Save to PC, uploads and the
// firmware sequence. They drive the device only through the file service and report through the
// host (messages, questions, progress, cancel). The sync and the mount are built on the verbs.
#pragma once

#include "DeviceVerbs.h"
#include "FirmwareLoad.h"
#include "SaveToPc.h"
#include "Uploads.h"
#include "WorkState.h"

namespace kv {

struct TDeviceWork {
    TDeviceWork(TkvbFiles& files, IWorkHost& host)
        : State(host), Verbs(files, State), Save(Verbs, State), Uploads(Verbs, State),
          Firmware(files, State) {}
    TDeviceWork(const TDeviceWork&) = delete;
    TDeviceWork& operator=(const TDeviceWork&) = delete;

    TWorkState State;
    TDeviceVerbs Verbs;
    TSaveToPc Save;
    TUploads Uploads;
    TFirmwareLoad Firmware;
};

} // namespace kv
