// Connection supervision: the two timers find the device, move its console output to the pane,
// feed the log window, and keep the information panel and the feature-dependent controls current.
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "ufmLog.h"
#include "ufmMain.h"
#include "workflows/ConsoleText.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>

void TfmMain::Timer1Timer() {
    if (!Activity->TimersMayWork()) return;
    TDeviceActivity::TimerWork tick(*Activity);
    if (Comms->IsConnected()) {
        const std::string output = kv::PollConsole(*Comms);
        if (!output.empty()) TermOutput(output);
        if (fmLog) fmLog->PollLog();
        return;
    }
    std::vector<std::string> attached;
    if (!Comms->Connect(&attached)) {
        // Attached but not to be opened is not the same as absent: said once, until the device is
        // opened or gone; the attempts go on.
        const kv::OpenError why = Comms->Device.OpenFailure;
        if (attached.empty() || why == kv::OpenError::Absent) {
            ToldNoAccess = false;
            // Said once, until a device has been found: what to do while there is none.
            if (!ToldNoDevice && !FoundDevice) {
                ToldNoDevice = true;
                TermPrint("\r\nNo Kovrin device is attached. Plug one in; on Linux the user needs "
                          "access to it (see \"Access to the device on Linux\" in the README). "
                          "To try the program without one, start it with --simulate.\r\n",
                          fsRegular);
            }
        } else if (!ToldNoAccess) {
            ToldNoAccess = true;
            std::string text =
                "\r\nThe device is attached but cannot be opened: " + kv::OpenFailureText(why) +
                ".";
            if (why == kv::OpenError::NoPermission)
                text += " Install the udev rule 70-kovrin.rules (see \"Access to the device on "
                        "Linux\" in the README), then unplug and replug the device.";
            TermPrint(text + "\r\n", fsRegular);
        }
        return;
    }
    ToldNoAccess = false;
    FoundDevice = true;
    ShowDeviceInfo();
    if (fmLog) fmLog->LinkUp();
    ShowDirectory(CurrentDir);
    Comms->WriteMessage(std::string(1, kv::EscapeKey), kv::kConsoleChannel, 0, 200);
}

void TfmMain::Timer2Timer() {
    if (!Activity->TimersMayWork()) return;
    TDeviceActivity::TimerWork tick(*Activity);
    if (Comms->IsConnected()) {
        if (!kv::HidTo8Bit(Comms->Device.GetSerialNumber()).empty()) {
            ShowDeviceInfo();
        } else {
            Comms->Disconnect();
            memInfo->clear();
        }
        return;
    }
    memInfo->clear();
    SetBrowserEnabled(false);
    if (fmLog) fmLog->LinkDown();
}

void TfmMain::ShowDeviceInfo() {
    kv::TRawHid& device = Comms->Device;
    const QString text = FromDevice(kv::IdentityText(device));
    if (memInfo->toPlainText() != text) memInfo->setPlainText(text);

    const kv::DeviceFeatures features = kv::ReadFeatures(device);
    actFirmware->setEnabled(features.Firmware);
    Files->QuotePaths = features.QuotedPaths;
    SetBrowserEnabled(features.QuotedPaths || features.Firmware);
}

void TfmMain::SetBrowserEnabled(bool Enabled) {
    lvFiles->setEnabled(Enabled);
    edDir->setVisible(Enabled);
}
