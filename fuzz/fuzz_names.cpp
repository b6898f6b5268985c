// What the PC sends the device: any path and new name (the input split at its first NUL) is
// either refused before a byte of the command goes, or goes as one command line that holds no
// control byte but its final CR, with the path and the name each between double quotes as given.
#include "FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::Service service;
    service.files.QuotePaths = true;
    const std::string input = kvfuzz::Bytes(data, size);
    const size_t split = input.find('\0');
    const std::string path = input.substr(0, split);
    const std::string name = split == std::string::npos ? "n" : input.substr(split + 1);
    std::string sent; // the console bytes the host wrote
    service.device.hid.onWrite = [&sent](const std::vector<uint8_t>& report) {
        if (report[0] == 0) sent.append(reinterpret_cast<const char*>(&report[3]), report[2]);
    };
    const bool refused =
        !service.files.PathRefusal(path).empty() || !service.files.NameRefusal(name).empty();
    service.files.RenameFile(path, name);
    const size_t at = sent.find("NFRENAME");
    if (refused) {
        if (at != std::string::npos) std::abort(); // refused, yet sent
        return 0;
    }
    const std::string line = "NFRENAME \"" + path + "\" \"" + name + "\"\r";
    if (at == std::string::npos || sent.compare(at, line.size(), line) != 0) std::abort();
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte < 0x20 || byte == 0x7F) std::abort(); // a control byte inside the line
    }
    return 0;
}
