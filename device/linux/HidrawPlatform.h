// The Linux backend: reports are read and written on the hidraw node itself; hidapi's hidraw
// library only enumerates; libusb reads the string descriptors (sysfs when the USB node cannot be
// opened).
#pragma once

#include "../HidPlatform.h"

#include <map>
#include <memory>
#include <mutex>

namespace kv {

class HidrawPlatform final : public IHidPlatform {
  public:
    // sysRoot is where sysfs is mounted.
    explicit HidrawPlatform(std::string sysRoot = "/sys");
    ~HidrawPlatform() override;

    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override;
    HidHandle Open(const std::string& path) override;
    OpenError LastOpenError() const override { return openError_; }
    std::string LastOpenHolder() const override { return holder_; }
    std::u16string SerialWithoutOpening(const std::string& path) override;
    // Takes over a descriptor already opened on the hidraw node at path.
    HidHandle Adopt(int fd, const std::string& path);
    void Close(HidHandle handle) override;
    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override;
    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override;
    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override;
    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override;
    uint64_t DroppedReports(HidHandle handle) override;

    struct Device;

  private:
    std::shared_ptr<Device> Find(HidHandle handle);

    const std::string sysRoot_;
    std::mutex lock_;
    std::map<HidHandle, std::shared_ptr<Device>> devices_;
    HidHandle next_ = 1;
    OpenError openError_ = OpenError::None;
    std::string holder_;
    // hidapi keeps its error text in globals: its calls are made under this lock only.
    std::mutex hidapiLock_;
    bool hidapiReady_ = false;
};

} // namespace kv
