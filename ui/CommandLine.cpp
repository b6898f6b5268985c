#include "CommandLine.h"

TCommandLine ParseCommandLine(const QStringList& Arguments) {
    TCommandLine line;
    for (qsizetype i = 1; i < Arguments.size(); ++i) {
        const QString& word = Arguments[i];
        if (word == "--simulate") {
            // The folder is optional: a word that starts with "-" is the next option.
            const bool folder = i + 1 < Arguments.size() && !Arguments[i + 1].startsWith("-");
            line.Simulated.append(folder ? Arguments[++i] : QString());
        } else if (word.startsWith("--simulate-dialect=")) {
            // The simulated devices' words (1 or 2), where the device's commands leave them free.
            line.Dialect = word.mid(19);
            if (line.Dialect != "1" && line.Dialect != "2") {
                line.Error = "--simulate-dialect takes 1 or 2";
                break;
            }
        } else if (word.startsWith("--simulate=")) {
            line.Simulated.append(word.mid(11));
        } else if (word == "--device") {
            if (i + 1 >= Arguments.size() || Arguments[i + 1].isEmpty()) {
                line.Error = "--device needs a serial number or an interface path";
                break;
            }
            line.Device = Arguments[++i];
        } else if (word.startsWith("--device=")) {
            line.Device = word.mid(9);
            if (line.Device.isEmpty()) {
                line.Error = "--device needs a serial number or an interface path";
                break;
            }
        }
    }
    // As for kvb, the environment chooses the device when the command line does not.
    if (line.Device.isEmpty() && line.Error.isEmpty())
        line.Device = qEnvironmentVariable("KVB_DEVICE");
    return line;
}
