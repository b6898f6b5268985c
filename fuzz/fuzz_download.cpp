// Downloads: any header and content flow in answer to the download command.
#include "FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::Service service;
    auto& device = service.device;
    auto& files = service.files;
    const std::string reply = kvfuzz::Bytes(data, size);
    device.AnswerEachLine(reply);
    int32_t last = -1;
    files.OnProgress = [&](kv::TkvbFiles*, int32_t position, int32_t total) {
        if (position <= last || position > total) std::abort();
        last = position;
    };
    std::string content;
    try {
        const bool ok = files.ReadFile("/fuzz", content);
        if (!ok && !content.empty()) std::abort();
        if (content.size() > size) std::abort();
    } catch (const kv::EKvError&) {
    }
    if (files.Busy) std::abort();
    return 0;
}
