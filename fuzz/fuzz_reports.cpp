// Report intake and channel buffering: any sequence of input reports of any size and content.
#include "FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::Device device;
    kv::TkvComms comms;
    comms.Connect();
    // Each report: one byte of size (0..127), then that many bytes; a spread of arrival times.
    size_t at = 0;
    int delay = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at] & 0x7F, size - at - 1);
        device.hid.QueueRaw(std::vector<uint8_t>(data + at + 1, data + at + 1 + length), delay);
        delay += data[at] >> 7;
        at += length + 1;
    }
    std::string message;
    for (int round = 0; round < 64; ++round) {
        const uint8_t channel = size ? data[round % size] : 0;
        comms.ReadMessage(channel, round % 3, message);
        if (message.size() > kv::kPayloadSize) std::abort();
        for (uint8_t c = 0; c < kv::kChannels; ++c)
            if (comms.BufferedBytes(c) > kv::kChannelBufferCap) std::abort();
    }
    return 0;
}
