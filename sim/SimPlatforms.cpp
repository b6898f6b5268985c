// The simulated device's HID backends: one device as the process's platform, or several on one bus.
#include "SimDevice.h"

#include <algorithm>
#include <cstring>

namespace kv::sim {

// ---- platform ----

std::vector<std::string> SimPlatform::Enumerate(int vendorId, int productId, int usagePage,
                                                int usage) {
    if (!device_.Present()) return {};
    HidInterfaceInfo info{path_, kVendorId, kProductId, kUsagePage, 1, 1, 1};
    if (!InterfaceMatches(info, vendorId, productId, usagePage, usage)) return {};
    return {path_};
}

bool SimPlatform::Live(HidHandle handle) {
    return device_.Present() && handle == device_.Generation();
}

HidHandle SimPlatform::Open(const std::string& path) {
    openError_ = path != path_ || !device_.Present() ? OpenError::Absent
                 : device_.faults.refuseOpen         ? OpenError::NoPermission
                 : device_.faults.busy               ? OpenError::Busy
                                                     : OpenError::None;
    return openError_ == OpenError::None ? device_.Generation() : kInvalidHandle;
}

std::string SimPlatform::LastOpenHolder() const {
    return openError_ == OpenError::Busy ? device_.faults.busyHolder : std::string();
}

std::u16string SimPlatform::SerialWithoutOpening(const std::string& path) {
    std::u16string serial;
    if (path == path_ && device_.Present()) device_.String(HidString::SerialNumber, 0, serial);
    return serial;
}

void SimPlatform::Close(HidHandle) {}

int SimPlatform::Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    if (!Live(handle)) return -1;
    uint8_t report[kReportSize];
    const int n = device_.HostRead(report, timeoutMs);
    if (n <= 0) return n;
    if (handle != device_.Generation()) return -1;
    uint8_t full[kReportSize + 1];
    full[0] = 0;
    std::memcpy(full + 1, report, kReportSize);
    const int copy = std::min(capacity, kReportSize + 1);
    std::memcpy(buffer, full, copy);
    return copy;
}

int SimPlatform::Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    if (!Live(handle) || size < 1) return -1;
    uint8_t report[kReportSize] = {};
    std::memcpy(report, data + 1, std::min(size - 1, kReportSize));
    const int n = device_.HostWrite(report, timeoutMs);
    return n <= 0 ? n : size;
}

bool SimPlatform::QueryUsage(HidHandle handle, int& usagePage, int& usage) {
    if (!Live(handle)) return false;
    usagePage = kUsagePage;
    usage = 1;
    return true;
}

bool SimPlatform::GetString(HidHandle handle, HidString which, int index, std::u16string& text) {
    if (!Live(handle)) return false;
    return device_.String(which, index, text);
}

// ---- several devices ----

std::u16string NthSerial(std::u16string Serial, size_t N) {
    size_t digit = Serial.size();
    while (N > 0 && digit-- > 0) {
        if (Serial[digit] < u'0' || Serial[digit] > u'9') break;
        const size_t sum = static_cast<size_t>(Serial[digit] - u'0') + N;
        Serial[digit] = static_cast<char16_t>(u'0' + sum % 10);
        N = sum / 10;
    }
    return Serial;
}

std::string NthPath(size_t N) {
    return N == 0 ? std::string(SimPlatform::kPath)
                  : std::string(SimPlatform::kPath) + "-" + std::to_string(N + 1);
}

void SimBus::Attach(SimDevice& device, const std::string& path) {
    devices_.push_back(std::make_unique<SimPlatform>(device, path));
    paths_.push_back(path);
}

std::vector<std::string> SimBus::Enumerate(int vendorId, int productId, int usagePage, int usage) {
    std::vector<std::string> all;
    for (auto& device : devices_)
        for (auto& path : device->Enumerate(vendorId, productId, usagePage, usage))
            all.push_back(path);
    return all;
}

HidHandle SimBus::Open(const std::string& path) {
    openError_ = OpenError::Absent;
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (paths_[i] != path) continue;
        const HidHandle inner = devices_[i]->Open(path);
        openError_ = devices_[i]->LastOpenError();
        holder_ = devices_[i]->LastOpenHolder();
        if (inner == kInvalidHandle) return kInvalidHandle;
        return static_cast<HidHandle>(i + 1) << kShift | inner;
    }
    return kInvalidHandle;
}

std::u16string SimBus::SerialWithoutOpening(const std::string& path) {
    for (size_t i = 0; i < devices_.size(); ++i)
        if (paths_[i] == path) return devices_[i]->SerialWithoutOpening(path);
    return {};
}

IHidPlatform* SimBus::Of(HidHandle handle, HidHandle& inner) {
    const auto index = static_cast<size_t>(handle >> kShift);
    inner = handle & ((HidHandle(1) << kShift) - 1);
    return index >= 1 && index <= devices_.size() ? devices_[index - 1].get() : nullptr;
}

void SimBus::Close(HidHandle handle) {
    HidHandle inner;
    if (auto* device = Of(handle, inner)) device->Close(inner);
}

int SimBus::Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device ? device->Read(inner, buffer, capacity, timeoutMs) : -1;
}

int SimBus::Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device ? device->Write(inner, data, size, timeoutMs) : -1;
}

bool SimBus::QueryUsage(HidHandle handle, int& usagePage, int& usage) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device && device->QueryUsage(inner, usagePage, usage);
}

bool SimBus::GetString(HidHandle handle, HidString which, int index, std::u16string& text) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device && device->GetString(inner, which, index, text);
}

} // namespace kv::sim
