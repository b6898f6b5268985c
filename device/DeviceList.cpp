#include "DeviceList.h"

#include "DeviceText.h"
#include "RawHid.h"
#include "kvComms.h"

#include <algorithm>

namespace kv {

std::vector<AttachedDevice> AttachedDevices() {
    std::vector<std::string> paths;
    TRawHid::FindDevices(paths, kVendorId, kProductId, kUsagePage, -1);
    std::vector<AttachedDevice> list;
    for (const auto& path : paths) {
        AttachedDevice entry;
        entry.Path = path;
        TRawHid device;
        if (!device.Open(path)) {
            if (device.OpenFailure == OpenError::Absent) continue;
            entry.Failure = device.OpenFailure;
            entry.Holder = device.OpenHolder;
            entry.Serial = device.OpenSerial;
            list.push_back(entry);
            continue;
        }
        entry.Serial = HidTo8Bit(device.GetSerialNumber());
        entry.Product = HidTo8Bit(device.GetProduct());
        entry.Version = HidTo8Bit(device.GetIndexedString(201));
        entry.Build = HidTo8Bit(device.GetIndexedString(202));
        entry.Date = HidTo8Bit(device.GetIndexedString(203));
        entry.Features = HidTo8Bit(device.GetIndexedString(204));
        list.push_back(entry);
    }
    return list;
}

bool IsChosen(const std::string& Choice, const std::string& Path, const std::string& Serial) {
    return !Choice.empty() && (Choice == Path || Choice == Serial);
}

std::string ChoiceOf(const AttachedDevice& Device, const std::vector<AttachedDevice>& List) {
    if (Device.Serial.empty()) return Device.Path;
    const auto same = std::count_if(List.begin(), List.end(), [&](const AttachedDevice& other) {
        return other.Serial == Device.Serial;
    });
    return same > 1 ? Device.Path : Device.Serial;
}

std::vector<std::string> ChosenPaths(const std::vector<std::string>& Paths,
                                     const std::string& Choice) {
    std::vector<std::string> chosen;
    for (const auto& path : Paths) {
        if (path == Choice) {
            chosen.push_back(path);
            continue;
        }
        TRawHid device;
        if (device.Open(path) && IsChosen(Choice, path, HidTo8Bit(device.GetSerialNumber())))
            chosen.push_back(path);
    }
    return chosen;
}

} // namespace kv
