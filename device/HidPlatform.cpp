#include "HidPlatform.h"

namespace kv {

bool InterfaceMatches(const HidInterfaceInfo& info, int vendorId, int productId, int usagePage,
                      int usage) {
    // Only the single interface of a non-composite device, with one top-level collection.
    if (info.usbInterfaces != 1 || info.topLevelCollections != 1) return false;
    if (vendorId >= 0 && info.vendorId != vendorId) return false;
    if (productId >= 0 && info.productId != productId) return false;
    if (usagePage >= 0 && info.usagePage != usagePage) return false;
    if (usage >= 0 && info.usage != usage) return false;
    return true;
}

namespace {
IHidPlatform* chosen = nullptr;
} // namespace

IHidPlatform& HidPlatform() {
    if (!chosen) {
        chosen = &MachineHidPlatform();
    }
    return *chosen;
}

void SetHidPlatform(IHidPlatform* platform) {
    chosen = platform;
}

} // namespace kv
