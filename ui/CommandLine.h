// The window's command line: --simulate [FOLDER], once for each simulated device to attach, and
// --device SERIAL, the device to connect to, and --simulate-dialect=N, as kvb takes them. Other
// words are left to Qt.
#pragma once

#include <QString>
#include <QStringList>

struct TCommandLine {
    // One entry for each --simulate: the folder that is its file system, empty for the demo tree.
    QStringList Simulated;
    // The device's serial number or interface path (or KVB_DEVICE); empty: whichever device is
    // found.
    QString Device;
    // --simulate-dialect=N: the simulated devices' words, "1" or "2"; empty: the default.
    QString Dialect;
    // What is wrong with the command line; empty when nothing is.
    QString Error;
};

// Arguments as QApplication::arguments() gives them, the program first.
TCommandLine ParseCommandLine(const QStringList& Arguments);
