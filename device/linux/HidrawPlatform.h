// The Linux backend: hidapi's hidraw library for enumeration, reports and the three standard
// strings; libusb for the indexed string descriptors that hidraw cannot read.
#pragma once

#include "../HidPlatform.h"

#include <map>
#include <memory>
#include <mutex>

namespace kv {

class HidrawPlatform final : public IHidPlatform {
  public:
    HidrawPlatform();
    ~HidrawPlatform() override;

    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override;
    HidHandle Open(const std::string& path) override;
    void Close(HidHandle handle) override;
    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override;
    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override;
    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override;
    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override;

    struct Device;

  private:
    std::shared_ptr<Device> Find(HidHandle handle);

    std::mutex lock_;
    std::map<HidHandle, std::shared_ptr<Device>> devices_;
    HidHandle next_ = 1;
    bool initialised_ = false;
};

} // namespace kv
