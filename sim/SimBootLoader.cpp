// The simulated device's boot loader: it takes an image with LOAD and reports its load, verify
// and burn phases.
#include "SimDevice.h"
#include "SimText.h"

namespace kv::sim {

void SimDevice::CmdLoad(const std::string& arg) {
    const size_t space = arg.find(' ');
    int64_t length = 0;
    if (space == std::string::npos || !ParseLength(arg.substr(0, space), length)) {
        Print("Usage: LOAD length name\r\n");
        Prompt();
        return;
    }
    Print("Send file\r\n");
    receiveName_ = arg.substr(space + 1);
    receiveIsImage_ = true;
    receiveLength_ = length;
    receiveBuffer_.clear();
    mode_ = Mode::Receive;
    if (length == 0) ReceiveDone();
}

void SimDevice::ImageReceived() {
    images.push_back({receiveName_, std::move(receiveBuffer_)});
    receiveBuffer_.clear();
    const bool second = faults.dialect == 2;
    Print(second ? "\r\nimage in: " + std::to_string(receiveLength_) + " bytes\r\n"
                 : "\r\nReceived " + std::to_string(receiveLength_) + " bytes\r\n");
    Prompt();
    const int64_t load = now_ + int64_t(config.loadMs) * 1000;
    const int64_t verify = load + int64_t(config.verifyMs) * 1000;
    const int64_t burn = verify + int64_t(config.burnMs) * 1000;
    Schedule(load, [this, second] {
        Print(second ? "loading done\r\n" : "Load OK\r\n");
        Prompt();
    });
    // A failed verify ends the image's phases: nothing is burnt.
    const bool verifyFails = faults.verifyFails, burnFails = faults.burnFails;
    Schedule(verify, [this, verifyFails, second] {
        Print(verifyFails ? (second ? "checksum: fail\r\n" : "Verify FAILED\r\n")
                          : (second ? "checksum good\r\n" : "Verify OK\r\n"));
        Prompt();
    });
    if (verifyFails) return;
    Schedule(burn, [this, burnFails, second] {
        Print(burnFails ? (second ? "flash write: fail\r\n" : "Burn FAILED\r\n")
                        : (second ? "flash written\r\n" : "Burn OK\r\n"));
        Prompt();
    });
}

} // namespace kv::sim
