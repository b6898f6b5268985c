#include "ScriptedHid.h"

#include <algorithm>

namespace kvtest {

ScriptedHid::ScriptedHid(kv::VirtualClock& clock) : clock_(clock) {
    kv::HidInterfaceInfo info;
    info.path = "/dev/hidraw-kovrin";
    info.vendorId = kv::kVendorId;
    info.productId = kv::kProductId;
    info.usagePage = kv::kUsagePage;
    info.usage = 1;
    interfaces.push_back(info);
}

void ScriptedHid::QueueRaw(const std::vector<uint8_t>& data, int delayMs) {
    Pending p{clock_.NowUs() + int64_t(delayMs) * 1000, {0}};
    p.data.insert(p.data.end(), data.begin(), data.end());
    // Keep arrival order even when a later call names an earlier time.
    if (!input_.empty()) p.atUs = std::max(p.atUs, input_.back().atUs);
    input_.push_back(std::move(p));
}

void ScriptedHid::QueueReport(const kv::Report& report, int delayMs) {
    QueueRaw(std::vector<uint8_t>(report.begin(), report.end()), delayMs);
}

void ScriptedHid::QueueChannel(uint8_t channel, const std::string& payload, int delayMs) {
    QueueReport(kv::MakeReport(channel, 0, payload), delayMs);
}

void ScriptedHid::QueueConsole(const std::string& text, int delayMs) {
    for (size_t at = 0; at < text.size(); at += kv::kPayloadSize)
        QueueChannel(0, text.substr(at, kv::kPayloadSize), delayMs);
}

std::string ScriptedHid::WrittenPayload(uint8_t channel) const {
    std::string out;
    for (const auto& r : written)
        if (r.size() >= 3 && r[0] == channel)
            out.append(reinterpret_cast<const char*>(r.data()) + 3, std::min<size_t>(r[2], 61));
    return out;
}

std::vector<std::string> ScriptedHid::Enumerate(int vendorId, int productId, int usagePage,
                                                int usage) {
    std::vector<std::string> paths;
    if (!present) return paths;
    for (const auto& info : interfaces)
        if (kv::InterfaceMatches(info, vendorId, productId, usagePage, usage))
            paths.push_back(info.path);
    return paths;
}

kv::HidHandle ScriptedHid::Open(const std::string& path) {
    openError = present ? kv::OpenError::None : kv::OpenError::Absent;
    if (!present) return kv::kInvalidHandle;
    for (const auto& info : interfaces)
        if (info.path == path) {
            ++opens;
            openInfo_ = &info;
            openHandle = 100 + opens;
            return openHandle;
        }
    return kv::kInvalidHandle;
}

void ScriptedHid::Close(kv::HidHandle handle) {
    if (handle == openHandle) openHandle = kv::kInvalidHandle;
}

int ScriptedHid::Read(kv::HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    ++readCalls;
    if (handle != openHandle || !present) return -1;
    const int64_t deadline = clock_.NowUs() + int64_t(std::max(timeoutMs, 0)) * 1000;
    if (input_.empty() || input_.front().atUs > deadline) {
        clock_.SleepUntilUs(deadline);
        return 0;
    }
    clock_.SleepUntilUs(input_.front().atUs);
    const auto data = std::move(input_.front().data);
    input_.pop_front();
    const int n = std::min<int>(capacity, static_cast<int>(data.size()));
    std::copy_n(data.begin(), n, buffer);
    return n;
}

int ScriptedHid::Write(kv::HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    if (handle != openHandle || !present || writeMode == WriteMode::Fail) return -1;
    if (writeMode == WriteMode::TimeOut) {
        clock_.AdvanceMs(std::max(timeoutMs, 0));
        return 0;
    }
    written.emplace_back(data + 1, data + size);
    if (onWrite) onWrite(written.back());
    return size;
}

bool ScriptedHid::QueryUsage(kv::HidHandle handle, int& usagePage, int& usage) {
    if (handle != openHandle || !openInfo_) return false;
    usagePage = openInfo_->usagePage;
    usage = openInfo_->usage;
    return true;
}

bool ScriptedHid::GetString(kv::HidHandle handle, kv::HidString which, int index,
                            std::u16string& text) {
    stringsAsked.push_back(which == kv::HidString::Manufacturer   ? "manufacturer"
                           : which == kv::HidString::Product      ? "product"
                           : which == kv::HidString::SerialNumber ? "serial"
                                                                  : std::to_string(index));
    if (handle != openHandle || !present) return false;
    switch (which) {
    case kv::HidString::Manufacturer:
        text = manufacturer;
        return true;
    case kv::HidString::Product:
        text = product;
        return true;
    case kv::HidString::SerialNumber:
        text = serial;
        return true;
    case kv::HidString::Indexed: {
        auto it = indexed.find(index);
        if (it == indexed.end()) return false;
        text = it->second;
        return true;
    }
    }
    return false;
}

ScriptedEnvironment::ScriptedEnvironment() {
    kv::SetClock(&clock);
    kv::SetHidPlatform(&hid);
}

ScriptedEnvironment::~ScriptedEnvironment() {
    kv::SetHidPlatform(nullptr);
    kv::SetClock(nullptr);
}

} // namespace kvtest
