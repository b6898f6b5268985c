// Sync of a PC folder and a device folder from the window, and keeping them in step while the
// user edits. The decisions, the record and the watch's passes are the shared workflow's, as
// kvb sync runs them; here are the dialog, the transfer line, the pane's lines and the timer.
#include "UiHooks.h"
#include "device/DeviceText.h"
#include "ufmMain.h"
#include "ufmSync.h"
#include "workflows/PcFiles.h"
#include "workflows/SyncPlatform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStatusBar>
#include <QTime>
#include <QTimer>

namespace {

std::string SerialOf(kv::TkvComms& Comms) {
    return kv::HidTo8Bit(Comms.Device.GetSerialNumber());
}

QString PcShown(const std::filesystem::path& Folder) {
    return QDir::toNativeSeparators(QString::fromStdU16String(Folder.u16string()));
}

std::string DeviceShown(const std::string& Folder) {
    return Folder.empty() ? "/" : Folder;
}

} // namespace

void TfmMain::PrepareSync() {
    if (!fmSync) {
        fmSync = new TfmSync(this);
        fmSync->OnPreview = [this] { Guarded([this] { SyncPreview(); }); };
    }
    std::vector<kv::SyncPair> pairs =
        Comms->IsConnected() ? kv::TSyncRecord::PairsOf(kv::UserStateFolder(), SerialOf(*Comms))
                             : std::vector<kv::SyncPair>();
    // A pair whose PC folder is gone is no pair to offer.
    std::erase_if(pairs, [](const kv::SyncPair& pair) {
        std::error_code ec;
        return !std::filesystem::is_directory(pair.PcFolder, ec);
    });
    fmSync->OfferPairs(pairs);
    // No pair is formed that the user did not choose: the PC folder chosen for this very device
    // folder stays; shown with another, the field starts empty.
    const bool sameFolder =
        fmSync->DeviceFolder() == DeviceShown(CurrentDir) && !fmSync->edPcFolder->text().isEmpty();
    fmSync->SetPair(sameFolder ? fmSync->edPcFolder->text() : QString(), CurrentDir, fmSync->Up());
    fmSync->cbDeletes->setChecked(false);
    // A sync while keeping in step goes on keeping in step, unless the user unticks it.
    fmSync->cbKeep->setChecked(KeptInStep != nullptr);
    SyncPlan.reset();
}

void TfmMain::actSyncExecute() {
    if (Activity->Running()) return;
    PrepareSync();
    if (fmSync->exec() == QDialog::Accepted) RunSync();
}

void TfmMain::SyncPreview() {
    SyncPlan.reset();
    if (fmSync->edPcFolder->text().trimmed().isEmpty()) {
        fmSync->ClearPlan("Choose the PC folder first.");
        return;
    }
    if (!Terminal->IsConnected()) {
        fmSync->ClearPlan("No device is connected.");
        return;
    }
    const kv::TDeviceHold hold(*Comms);
    SyncSerial = SerialOf(*Comms);
    kv::SyncOptions options =
        kv::SyncPairOptions(SyncSerial, fmSync->Up(), fmSync->PcFolder(), fmSync->DeviceFolder());
    options.DeleteExtra = fmSync->DeletesAllowed();
    auto plan = std::make_unique<kv::TDeviceSync>(*Work, options);
    // A save while the user looks at the preview is sent once keeping in step begins.
    if (fmSync->KeepInStep()) WatchBeforeRun = kv::WatchFolder(options.PcFolder);
    Work->State.NotMoved.clear();
    kv::VerbResult planned;
    {
        TDeviceOperation op(*Activity, true);
        planned = plan->Plan();
    }
    if (!planned.Ok()) {
        fmSync->ClearPlan("No preview: " + FromDevice(planned.Message()));
        return;
    }
    fmSync->ShowPlan(*plan);
    SyncPlan = std::move(plan);
}

void TfmMain::PrintConflicts(const kv::TDeviceSync& Sync) {
    for (const auto& item : Sync.Items)
        if (item.Decision.Unresolved)
            TermFail("\r\n Not synced: " + item.Path + " (" +
                     (item.Error.empty() ? kv::ChangeText(item.Decision.Change, Sync.Up())
                                         : item.Error) +
                     ")\r\n");
}

void TfmMain::RunSync() {
    if (!SyncPlan || Activity->Running()) return;
    std::unique_ptr<kv::TDeviceSync> plan = std::move(SyncPlan);
    if (!Terminal->IsConnected() || SerialOf(*Comms) != SyncSerial) {
        ReportError("The device is not the one the preview was made with: nothing was synced.");
        return;
    }
    fmSync->ApplyChoices(*plan);
    const bool up = plan->Up();
    const std::filesystem::path pcFolder = fmSync->PcFolder();
    const std::string deviceFolder = fmSync->DeviceFolder();
    const bool keep = fmSync->KeepInStep();
    if (keep && !WatchBeforeRun) WatchBeforeRun = kv::WatchFolder(pcFolder);
    if (KeptInStep) StopKeepInStep(); // the pair followed may be the one synced now

    int files = 0;
    uint64_t bytes = 0;
    for (const auto& item : plan->Items)
        if (item.Decision.Action == kv::SyncAction::Send && !item.Directory) {
            ++files;
            bytes += plan->SourceSize(item);
        }
    Work->Save.BeginSave();
    const kv::TDeviceHold hold(*Comms);
    const int64_t began = kv::Clock().NowMs();
    bool started = false;
    plan->OnStart = [&](const kv::SyncItem& item, uint64_t size) {
        started = true;
        Work->State.Tally.StartFile(kv::DeviceLeafOf("/" + item.Path), size);
        ShowTransfer();
    };
    plan->OnItem = [&](const kv::SyncItem& item) {
        if (!started) return;
        started = false;
        Work->State.Tally.FileDone(item.Done);
    };
    struct CleanUp {
        TfmMain* window;
        ~CleanUp() {
            window->QuietUploads = false;
            window->HideFileCount();
            window->HideTransfer();
        }
    } cleanUp{this};
    QuietUploads = true;
    BeginTransfer(files, bytes, true);
    {
        TDeviceOperation op(*Activity, true);
        // The preview may be old: what moved since is left alone and named.
        const kv::VerbResult again = plan->Recheck();
        if (!again.Ok()) {
            ReportError("Nothing was synced: the folders could not be looked at again (" +
                        FromDevice(again.Message()) + ").");
            return;
        }
        plan->Run();
    }
    const int64_t tookMs = kv::Clock().NowMs() - began;
    const kv::SyncTotals totals = kv::TotalsOf(plan->Items);
    const int sent = totals.Sent, deleted = totals.Deleted, unchanged = totals.Unchanged,
              left = totals.Left;
    for (const auto& problem : Work->State.NotMoved)
        TermFail("\r\n " + problem + "\r\n");
    PrintConflicts(*plan);
    const int conflicts = plan->Unresolved();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", static_cast<double>(tookMs) / 1000);
    const std::string pc = ToDevice(PcShown(pcFolder));
    const std::string stopped = Work->State.Cancelled ? ", stopped by Cancel"
                                : plan->DeviceGone    ? ", stopped: the device went away"
                                                      : "";
    TermPrint("\r\nSync " +
                  std::string(up ? "up of " + pc + " to " + DeviceShown(deviceFolder)
                                 : "down of " + DeviceShown(deviceFolder) + " to " + pc) +
                  ": " + std::to_string(sent) + (up ? " sent, " : " fetched, ") +
                  std::to_string(deleted) + " deleted, " + std::to_string(unchanged) +
                  " unchanged, " + std::to_string(conflicts) +
                  (conflicts == 1 ? " conflict" : " conflicts") +
                  (left ? ", " + std::to_string(left) + " not done" : std::string()) + " (" +
                  kv::GroupedNumber(Work->State.Tally.MovedBytes()) + " bytes in " + took + ")" +
                  stopped + "\r\n",
              fsRegular);
    ShowDirectory(CurrentDir);
    if (keep && !Work->State.Cancelled) StartKeepInStep(pcFolder, deviceFolder, plan->DeviceGone);
    WatchBeforeRun.reset();
}

// ---- keeping in step ----

void TfmMain::StartKeepInStep(const std::filesystem::path& PcFolder,
                              const std::string& DeviceFolder, bool WholeFirst) {
    StopKeepInStep();
    auto keeping = std::make_unique<TKeepInStep>();
    keeping->PcFolder = PcFolder;
    keeping->DeviceFolder = DeviceFolder;
    keeping->Serial = SerialOf(*Comms);
    keeping->Watch = WatchBeforeRun ? std::move(WatchBeforeRun) : kv::WatchFolder(PcFolder);
    // Each pass is carried out right after its plan, as kvb's watch does: a changed file goes
    // beside its old self before the one listing of its folder, and a save that finished is
    // handed on after 50 ms rather than half a second.
    kv::SyncOptions options = kv::SyncPairOptions(keeping->Serial, true, PcFolder, DeviceFolder);
    options.WriteBeforeListing = true;
    keeping->Sync = std::make_unique<kv::TDeviceSync>(*Work, options);
    keeping->Passes = std::make_unique<kv::TSyncWatch>(
        *keeping->Sync, *keeping->Watch, WholeFirst, [] { return kv::Clock().NowMs(); }, 500, 50);
    KeptInStep = std::move(keeping);
    if (!lblKeep) {
        lblKeep = new QLabel(this);
        lblKeep->setObjectName("lblKeep");
        statusBar()->addWidget(lblKeep, 1);
    }
    statusBar()->show();
    actKeepInStep->setChecked(true);
    ShowKeepInStep();
    KeepTimer->start();
}

void TfmMain::StopKeepInStep() {
    if (KeepTimer) KeepTimer->stop();
    KeptInStep.reset();
    if (actKeepInStep) actKeepInStep->setChecked(false);
    if (lblKeep) statusBar()->hide();
}

void TfmMain::ShowKeepInStep(const QString& Paused) {
    if (!KeptInStep || !lblKeep) return;
    const int sent = KeptInStep->Passes->Sent();
    QString text = "Keeping " + PcShown(KeptInStep->PcFolder) + " in step with " +
                   FromDevice(DeviceShown(KeptInStep->DeviceFolder)) + ": ";
    if (sent == 0)
        text += "no file sent yet";
    else
        text += QString("%1 file%2 sent, the last at %3")
                    .arg(sent)
                    .arg(sent == 1 ? "" : "s")
                    .arg(KeptInStep->LastSent);
    const int conflicts = KeptInStep->Passes->Conflicts(), failed = KeptInStep->Passes->Failed();
    if (conflicts)
        text +=
            QString(", %1 left alone as conflict%2").arg(conflicts).arg(conflicts == 1 ? "" : "s");
    if (failed) text += QString(", %1 not sent").arg(failed);
    if (!Paused.isEmpty()) text += " - " + Paused;
    lblKeep->setText(text);
}

void TfmMain::KeepInStepTick() {
    if (!KeptInStep || KeptInStep->InPass) return;
    kv::TSyncWatch& passes = *KeptInStep->Passes;
    passes.TakeChanges(0);
    if (!passes.HasDue()) {
        ShowKeepInStep();
        return;
    }
    // Another command has the link (its waits deliver this tick): caught up afterwards.
    if (Activity->Running()) {
        ShowKeepInStep("paused while other work runs");
        return;
    }
    // A preview holds the pair's record as it was: a pass now would be undone by its run.
    if (fmSync && fmSync->isVisible()) {
        ShowKeepInStep("paused while Sync Folder is open");
        return;
    }
    // The record is that device's: no other takes its place.
    if (!Terminal->IsConnected() || Terminal->IsBootLoader() ||
        SerialOf(*Comms) != KeptInStep->Serial) {
        ShowKeepInStep("paused: the device is away");
        return;
    }
    const int before = passes.Sent();
    Work->State.NotMoved.clear();
    kv::VerbResult planned;
    try {
        const kv::TDeviceHold hold(*Comms);
        QuietUploads = true;
        KeptInStep->InPass = true;
        TDeviceOperation op(*Activity, false);
        planned = passes.RunPass();
        QuietUploads = false;
        KeptInStep->InPass = false;
    } catch (const std::exception& error) {
        QuietUploads = false;
        KeptInStep->InPass = false;
        TermFail("\r\nKeeping in step stopped: " + ToDevice(QString::fromUtf8(error.what())) +
                 "\r\n");
        StopKeepInStep();
        return;
    }
    for (const auto& problem : Work->State.NotMoved)
        TermFail("\r\n " + problem + "\r\n");
    if (!passes.DeviceAway()) PrintConflicts(*KeptInStep->Sync);
    if (!passes.DeviceAway() && !planned.Ok()) TermFail("\r\n " + planned.Message() + "\r\n");
    if (passes.Sent() != before) KeptInStep->LastSent = QTime::currentTime().toString("HH:mm:ss");
    ShowKeepInStep(passes.DeviceAway() ? "paused: the device is away" : QString());
    // The list shows what went when it shows the folder that was kept in step.
    const std::string& folder = KeptInStep->DeviceFolder;
    if (passes.Sent() != before && (CurrentDir == folder || CurrentDir.rfind(folder + "/", 0) == 0))
        ShowDirectory(CurrentDir);
}
