// The console reader: ReadUntil with any markers, ReadLine, the prompt readers and the prompt test
// over any console output.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    kvfuzz::Service service;
    auto& device = service.device;
    auto& terminal = service.terminal;
    auto& files = service.files;
    const size_t markerLength = data[0] % 4;
    const std::string marker = kvfuzz::Bytes(data + 1, std::min(markerLength, size - 1));
    device.hid.QueueConsole(kvfuzz::Bytes(data, size));
    std::string text;
    terminal.ReadUntil(marker, marker, text, 10);
    files.ReadLine(10);
    terminal.ReadToPromptStart(10, text);
    terminal.ReadToPromptEnd(10, text);
    terminal.IsReady();
    files.DiscardInput();
    terminal.ReadBytes(static_cast<int>(data[1]), 5, text);
    return 0;
}
