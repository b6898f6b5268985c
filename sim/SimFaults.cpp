// Faults named in text, for a simulated device that a program starts.
#include "SimDevice.h"

#include <cctype>
#include <cstdlib>

namespace kv::sim {

int DefaultDialect() {
    const char* chosen = std::getenv("KVB_SIM_DIALECT");
    return chosen && std::string(chosen) == "2" ? 2 : 1;
}

// ---- faults named in text ----

std::vector<std::string> FaultItems(const std::string& text) {
    std::vector<std::string> items;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find(';', from);
        if (end == std::string::npos) end = text.size();
        items.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return items;
}

bool ParseFaults(const std::string& text, SimFaults& faults) {
    for (const std::string& item : FaultItems(text)) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        const std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        if (name == "busy-holder") {
            faults.busy = true;
            faults.busyHolder = value;
            continue;
        }
        if (name == "write-confirm") {
            faults.writeConfirmSet = true;
            faults.writeConfirm = value;
            continue;
        }
        if (name == "listing-line" || name == "extra-file") {
            std::string line;
            for (size_t i = 0; i < value.size(); ++i) {
                const auto hex = [&](size_t at) {
                    return at < value.size() &&
                           std::isxdigit(static_cast<unsigned char>(value[at]));
                };
                if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 't') {
                    line += '\t';
                    ++i;
                } else if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'x' &&
                           hex(i + 2) && hex(i + 3)) {
                    line += static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16));
                    i += 3;
                } else {
                    line += value[i];
                }
            }
            (name == "extra-file" ? faults.extraFiles : faults.extraListingLines).push_back(line);
            continue;
        }
        char* rest = nullptr;
        const long long number = std::strtoll(value.c_str(), &rest, 10);
        if (value.empty() || *rest) return false;
        if (name == "download-stall-after")
            faults.downloadStallAfter = number;
        else if (name == "upload-abort-after")
            faults.uploadAbortAfter = number;
        else if (name == "refuse-open")
            faults.refuseOpen = number != 0;
        else if (name == "busy")
            faults.busy = number != 0;
        else if (name == "verify-fails")
            faults.verifyFails = number != 0;
        else if (name == "burn-fails")
            faults.burnFails = number != 0;
        else if (name == "case-sensitive")
            faults.caseSensitive = number != 0;
        else if (name == "rename-reply-ms")
            faults.renameReplyMs = number;
        else if (name == "write-confirm-cut")
            faults.writeConfirmCut = number != 0;
        else if (name == "write-result-silent")
            faults.writeResultSilent = number != 0;
        else if (name == "prompt-pause-ms")
            faults.promptPauseMs = number;
        else if (name == "capacity")
            faults.capacity = number;
        else if (name == "upload-unplugs")
            faults.uploadUnplugs = static_cast<int>(number);
        else if (name == "upload-unplug-ms")
            faults.uploadUnplugMs = number;
        else if (name == "dialect" && (number == 1 || number == 2))
            faults.dialect = static_cast<int>(number);
        else if (name == "corrupt-downloads-from")
            faults.corruptDownloadsFrom = static_cast<int>(number);
        else
            return false;
    }
    return true;
}

} // namespace kv::sim
