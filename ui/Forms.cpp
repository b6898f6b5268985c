#include "Forms.h"

#include "ufmAbout.h"
#include "ufmDialogs.h"
#include "ufmLog.h"
#include "ufmMain.h"

#include <QAction>

void CreateForms() {
    fmMain = new TfmMain;
    fmRename = new TfmRename(fmMain);
    fmFile = new TfmFile(fmMain);
    fmLog = new TfmLog;
    fmAbout = new TfmAbout(fmMain);
    fmMkDir = new TfmMkDir(fmMain);
    QObject::connect(fmMain->actShowLog, &QAction::triggered, fmLog,
                     [] { fmLog->ShowFromMain(fmMain); });
    QObject::connect(fmMain->actAbout, &QAction::triggered, fmAbout, [] { fmAbout->exec(); });
}

void DestroyForms() {
    delete fmLog;
    fmLog = nullptr;
    delete fmMain; // owns the dialogs
    fmMain = nullptr;
    fmRename = nullptr;
    fmFile = nullptr;
    fmAbout = nullptr;
    fmMkDir = nullptr;
}
