// The devices attached to the machine as both front ends list them, and the choice of one of them
// by its serial number or interface path.
#pragma once

#include "HidPlatform.h"

#include <string>
#include <vector>

namespace kv {

// One attached device: its interface path and its HID strings as 8-bit text, or why it cannot be
// opened (then the strings are empty).
struct AttachedDevice {
    std::string Path;
    OpenError Failure = OpenError::None;
    std::string Holder; // who holds it, when Failure is Busy (the serial number is then known
                        // as far as the system tells it without opening the device)
    std::string Serial, Product;
    std::string Version, Build, Date, Features; // strings 201 to 204
};

// Every attached device, in the platform's order; one that went away while it was read is left
// out.
std::vector<AttachedDevice> AttachedDevices();

// Whether Choice, a serial number or an interface path, names the device at Path with Serial.
bool IsChosen(const std::string& Choice, const std::string& Path, const std::string& Serial);

// What chooses Device of List from now on: its serial number, which it keeps when it restarts or
// is plugged in again; its path when it has none or another device of List has the same.
std::string ChoiceOf(const AttachedDevice& Device, const std::vector<AttachedDevice>& List);

// Those of Paths that Choice names. A device whose path is not the choice is opened for its
// serial number; one that cannot be opened is not chosen.
std::vector<std::string> ChosenPaths(const std::vector<std::string>& Paths,
                                     const std::string& Choice);

} // namespace kv
