// Listing replies: whatever the device answers to the listing command, and every entry line and
// time stamp it contains.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::Service service;
    auto& device = service.device;
    auto& files = service.files;
    const std::string reply = kvfuzz::Bytes(data, size);
    device.AnswerEachLine(reply);
    std::vector<std::string> lines;
    files.ListDirectory("/fuzz", lines);
    for (const auto& line : lines) {
        try {
            kv::TkvbFiles::ParseDirEntry(line);
        } catch (const kv::EKvError&) {
        }
    }
    std::string rest = reply;
    while (!rest.empty())
        kv::DecodePackedDate(kv::NextField(rest));
    return 0;
}
