// Connection supervision: the two timers find the device, move its console output to the pane,
// feed the log window, and keep the information panel and the feature-dependent controls current.
// The Device menu chooses the device among several.
#include "UiHooks.h"
#include "device/DeviceList.h"
#include "device/DeviceText.h"
#include "ufmLog.h"
#include "ufmMain.h"
#include "workflows/ConsoleText.h"

#include <QAction>
#include <QActionGroup>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>

void TfmMain::Timer1Timer() {
    if (!Activity->TimersMayWork()) return;
    TDeviceActivity::TimerWork tick(*Activity);
    if (Comms->IsConnected()) {
        const std::string output = kv::PollConsole(*Comms);
        if (!output.empty()) TermOutput(output);
        if (fmLog) fmLog->PollLog();
        // Input the link dropped is said once for each rise; a command it hit has failed.
        if (Comms->LostReports() > ToldLost) {
            ToldLost = Comms->LostReports();
            TermPrint("\r\n" + kv::LostReportsText(*Comms) + ".\r\n", fsRegular);
        }
        return;
    }
    std::vector<std::string> attached;
    if (!Comms->Connect(&attached)) {
        // Attached but not to be opened is not the same as absent: said once, until the device is
        // opened or gone; the attempts go on.
        const kv::OpenError why = Comms->Device.OpenFailure;
        if (attached.empty() || why == kv::OpenError::Absent) {
            ToldNoAccess = false;
            if (!Comms->Held.empty()) {
                // Work under way (the editor, a copy) began on that device: it is waited for,
                // and no other is taken in its place until the work ends.
                if (ToldHeld != Comms->Held) {
                    ToldHeld = Comms->Held;
                    TermPrint("\r\nWaiting for device " + Comms->Held +
                                  ": the work under way began on it; no other device is taken "
                                  "until it ends.\r\n",
                              fsRegular);
                }
                return;
            }
            if (!Comms->Chosen.empty()) {
                // Said once for each choice, and not for a chosen device that was found before:
                // it is restarting or was unplugged for a moment.
                if (ToldChosen != Comms->Chosen) {
                    ToldChosen = Comms->Chosen;
                    TermPrint("\r\nWaiting for device " + Comms->Chosen +
                                  ": not attached.\r\nThe Device menu lists those that are.\r\n",
                              fsRegular);
                }
                return;
            }
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
                why == kv::OpenError::Busy
                    ? "\r\n" +
                          kv::InUseText(Comms->Device.OpenSerial.empty() ? Comms->Device.DevicePath
                                                                         : Comms->Device.OpenSerial,
                                        Comms->Device.OpenHolder) +
                          ". It is connected as soon as that program lets it go."
                    : "\r\nThe device is attached but cannot be opened: " +
                          kv::OpenFailureText(why) + ".";
            if (why == kv::OpenError::NoPermission)
                text += " Install the udev rule 70-kovrin.rules (see \"Access to the device on "
                        "Linux\" in the README), then unplug and replug the device.";
            TermPrint(text + "\r\n", fsRegular);
        }
        return;
    }
    ToldNoAccess = false;
    ToldHeld.clear();
    FoundDevice = true;
    ToldChosen = Comms->Chosen;
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
    // Once each time the device enters its boot loader: how to go on, and how to leave.
    const bool bootLoader = Terminal->IsBootLoader();
    if (bootLoader && !BootLoaderSaid)
        TermPrint("\r\nThe device is in its boot loader: File > Load Firmware loads an image; "
                  "Device > Start Firmware starts the firmware.\r\n",
                  fsRegular);
    BootLoaderSaid = bootLoader;
    Files->QuotePaths = features.QuotedPaths;
    SetBrowserEnabled(features.QuotedPaths || features.Firmware);
}

void TfmMain::SetBrowserEnabled(bool Enabled) {
    lvFiles->setEnabled(Enabled);
    edDir->setVisible(Enabled);
}

// ---- the Device menu ----

void TfmMain::mnDeviceShow() {
    mnDevice->clear(); // its entries are deleted, and so leave agDevice
    const auto add = [this](const QString& Text, bool Checked, const std::string* Choice) {
        QString shown = Text;
        shown.replace('&', "&&");
        auto* action = mnDevice->addAction(shown);
        action->setCheckable(Choice != nullptr || Checked);
        action->setChecked(Checked);
        action->setActionGroup(agDevice);
        action->setEnabled(Choice != nullptr);
        if (Choice)
            connect(action, &QAction::triggered, this,
                    [this, choice = *Choice] { Guarded([&] { ChooseDevice(choice); }); });
        return action;
    };
    const std::string any;
    add("Any device", Comms->Chosen.empty(), &any);
    mnDevice->addSeparator();
    const std::vector<kv::AttachedDevice> devices = kv::AttachedDevices();
    bool chosenAttached = false;
    for (const kv::AttachedDevice& device : devices) {
        if (device.Failure == kv::OpenError::Busy) {
            add(FromDevice(kv::InUseText(device.Serial.empty() ? device.Path : device.Serial,
                                         device.Holder)),
                false, nullptr);
            continue;
        }
        if (device.Failure != kv::OpenError::None) {
            add(FromDevice(device.Path +
                           " (cannot be opened: " + kv::OpenFailureText(device.Failure) + ")"),
                false, nullptr);
            continue;
        }
        const bool chosen = kv::IsChosen(Comms->Chosen, device.Path, device.Serial);
        chosenAttached = chosenAttached || chosen;
        const std::string choice = kv::ChoiceOf(device, devices);
        // The serial number, then product and version as the information panel shows them.
        add(FromDevice(device.Serial + "  " + device.Product + " v" + device.Version), chosen,
            &choice);
    }
    if (devices.empty()) add("No device attached", false, nullptr);
    if (!Comms->Chosen.empty() && !chosenAttached)
        add(FromDevice(Comms->Chosen + " (not attached)"), true, nullptr);
    // Offered while the device is in its boot loader, the way back to its firmware.
    actStartFirmware = nullptr;
    if (!Comms->IsConnected() || !Terminal->IsBootLoader()) return;
    mnDevice->addSeparator();
    actStartFirmware = mnDevice->addAction("Start Firmware");
    actStartFirmware->setEnabled(!Activity->Running());
    connect(actStartFirmware, &QAction::triggered, this,
            [this] { Guarded([this] { actStartFirmwareExecute(); }); });
}

void TfmMain::actStartFirmwareExecute() {
    if (!Comms->IsConnected() || !Terminal->IsBootLoader() || Activity->Running()) return;
    TDeviceOperation op(*Activity);
    // As the firmware drop ends: the boot loader starts the firmware, and the link finds the
    // device again in its application.
    TermPrint("\r\nRun firmware...", fsItalic);
    Terminal->SendLine("run");
    TermPrint("\r\n", fsItalic);
    reTerm->setFocus();
}

void TfmMain::ChooseDevice(const std::string& Choice) {
    // Device work keeps the device it runs on (its input is held off, so this is a safeguard).
    if (Activity->Running() || Choice == Comms->Chosen) return;
    Comms->Chosen = Choice;
    if (!Comms->IsConnected() || Choice.empty() ||
        kv::IsChosen(Choice, Comms->Device.DevicePath,
                     kv::HidTo8Bit(Comms->Device.GetSerialNumber())))
        return;
    // Another device: the link closes as when a device goes away, and the next tick of Timer1
    // opens the chosen one at its root directory.
    // Said when the chosen one is there; one that is not is waited for, and that is said.
    for (const kv::AttachedDevice& device : kv::AttachedDevices())
        if (device.Failure == kv::OpenError::None &&
            kv::IsChosen(Choice, device.Path, device.Serial))
            TermPrint("\r\nSwitching to device " + Choice + ".\r\n", fsRegular);
    Comms->Disconnect();
    memInfo->clear();
    SetBrowserEnabled(false);
    if (fmLog) fmLog->LinkDown();
    CurrentDir.clear();
}
