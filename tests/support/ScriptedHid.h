// A scripted HID backend on virtual time: tests queue input reports (optionally arriving later),
// read back the reports the host wrote, make writes time out or fail, and unplug the device.
#pragma once

#include "device/Clock.h"
#include "device/HidPlatform.h"
#include "device/kvComms.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

class ScriptedHid : public kv::IHidPlatform {
  public:
    enum class WriteMode { Ok, TimeOut, Fail };

    explicit ScriptedHid(kv::VirtualClock& clock);

    // Input reports, data only (the report ID 0 is added by the double), arriving delayMs from now.
    void QueueRaw(const std::vector<uint8_t>& data, int delayMs = 0);
    void QueueReport(const kv::Report& report, int delayMs = 0);
    // Console text on channel 0, cut into reports of 61 bytes, all arriving delayMs from now.
    void QueueConsole(const std::string& text, int delayMs = 0);
    void QueueChannel(uint8_t channel, const std::string& payload, int delayMs = 0);

    // The data of every report the host wrote (report ID removed).
    std::vector<std::vector<uint8_t>> written;
    // Payloads of the written reports of one channel, concatenated.
    std::string WrittenPayload(uint8_t channel = 0) const;

    std::vector<kv::HidInterfaceInfo> interfaces;
    bool present = true;
    WriteMode writeMode = WriteMode::Ok;
    std::map<int, std::u16string> indexed;
    std::u16string manufacturer = u"Kovrin", product = u"Kovrin Device", serial = u"12345";
    // Called for every written report, after it is recorded; may queue replies.
    std::function<void(const std::vector<uint8_t>&)> onWrite;

    // The strings asked for, in order: "manufacturer", "product", "serial" or the index.
    std::vector<std::string> stringsAsked;
    // Reports the backend's own queue has dropped for the open handle (a test raises it).
    uint64_t dropped = 0;
    int readCalls = 0;
    int opens = 0;
    kv::HidHandle openHandle = kv::kInvalidHandle;

    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override;
    kv::HidHandle Open(const std::string& path) override;
    kv::OpenError LastOpenError() const override { return openError; }
    kv::OpenError openError = kv::OpenError::None;
    void Close(kv::HidHandle handle) override;
    int Read(kv::HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override;
    int Write(kv::HidHandle handle, const uint8_t* data, int size, int timeoutMs) override;
    bool QueryUsage(kv::HidHandle handle, int& usagePage, int& usage) override;
    bool GetString(kv::HidHandle handle, kv::HidString which, int index,
                   std::u16string& text) override;
    uint64_t DroppedReports(kv::HidHandle handle) override {
        return handle == openHandle ? dropped : 0;
    }

  private:
    struct Pending {
        int64_t atUs;
        std::vector<uint8_t> data; // report ID first
    };
    kv::VirtualClock& clock_;
    std::deque<Pending> input_;
    const kv::HidInterfaceInfo* openInfo_ = nullptr;
};

// Installs a virtual clock and a scripted device as the process's clock and HID backend for the
// lifetime of a test.
struct ScriptedEnvironment {
    ScriptedEnvironment();
    ~ScriptedEnvironment();
    kv::VirtualClock clock;
    ScriptedHid hid{clock};
};

} // namespace kvtest
