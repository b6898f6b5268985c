#include "kvComms.h"

#include "Clock.h"
#include "DeviceList.h"
#include "DeviceText.h"

#include <algorithm>
#include <cstring>

namespace kv {

Report MakeReport(uint8_t channel, uint8_t flags, const std::string& payload) {
    Report r{};
    const size_t n = std::min<size_t>(payload.size(), kPayloadSize);
    r[0] = channel;
    r[1] = flags;
    r[2] = static_cast<uint8_t>(n);
    std::memcpy(r.data() + kReportHeader, payload.data(), n);
    return r;
}

// ---- TkvComms ----

bool TkvComms::Connect(std::vector<std::string>* Attached) {
    std::vector<std::string> found;
    TRawHid::FindDevices(found, kVendorId, kProductId, kUsagePage, -1);
    if (!Chosen.empty()) found = ChosenPaths(found, Chosen);
    if (!Held.empty()) found = ChosenPaths(found, Held);
    ++sends_; // another device, or the same one after a restart: shown things are gone
    // A device another program holds is passed over for the next one; the first failure is the
    // one kept to be told.
    bool opened = false;
    OpenError first = OpenError::None;
    std::string holder, serial;
    for (size_t i = 0; i < found.size() && !opened; ++i) {
        opened = Device.Open(found[i]);
        if (opened || i > 0) continue;
        first = Device.OpenFailure;
        holder = Device.OpenHolder;
        serial = Device.OpenSerial;
        if (first != OpenError::Busy) break;
    }
    if (!opened && !found.empty()) {
        Device.OpenFailure = first;
        Device.OpenHolder = holder;
        Device.OpenSerial = serial;
        Device.DevicePath = found.front();
    }
    if (Attached) *Attached = std::move(found);
    return opened;
}

TDeviceHold::TDeviceHold(TkvComms& comms) : comms_(comms) {
    if (!comms_.Held.empty() || !comms_.IsConnected()) return;
    const std::string serial = HidTo8Bit(comms_.Device.GetSerialNumber());
    comms_.Held = serial.empty() ? comms_.Device.DevicePath : serial;
    own_ = !comms_.Held.empty();
}

TDeviceHold::~TDeviceHold() {
    if (own_) comms_.Held.clear();
}

std::string OtherThanHeld(TkvComms& comms) {
    if (comms.Held.empty()) return {};
    if (comms.IsConnected()) {
        const std::string other = HidTo8Bit(comms.Device.GetSerialNumber());
        // The held one, or gone: whoever uses the link finds that.
        if (other.empty() || IsChosen(comms.Held, comms.Device.DevicePath, other)) return {};
        return other;
    }
    for (const AttachedDevice& device : AttachedDevices())
        if (device.Failure == OpenError::None && !IsChosen(comms.Held, device.Path, device.Serial))
            return device.Serial.empty() ? device.Path : device.Serial;
    return {};
}

TSameDevice::TSameDevice(TkvComms& comms) : comms_(comms), was_(comms.Chosen), held_(comms.Held) {
    if (!comms.IsConnected()) return;
    std::vector<std::string> attached;
    TRawHid::FindDevices(attached, kVendorId, kProductId, kUsagePage, -1);
    if (attached.size() <= 1)
        comms_.Held.clear();
    else if (was_.empty())
        comms_.Chosen = HidTo8Bit(comms.Device.GetSerialNumber());
}

TSameDevice::~TSameDevice() {
    comms_.Chosen = was_;
    comms_.Held = held_;
}

void TkvComms::ClearChannel(uint8_t Channel) {
    if (Channel < kChannels) RxBuffers[Channel].clear();
}

size_t TkvComms::BufferedBytes(uint8_t Channel) const {
    return Channel < kChannels ? RxBuffers[Channel].size() * kReportSize : 0;
}

uint64_t TkvComms::DroppedReports(uint8_t Channel) const {
    return Channel < kChannels ? Drops[Channel] : 0;
}

uint64_t TkvComms::ConsoleDrops() const {
    return Device.DroppedReports() + Drops[kConsoleChannel];
}

uint64_t TkvComms::LostReports() const {
    return ConsoleDrops() + Drops[kLogChannel];
}

bool TkvComms::PollReports(int FirstTimeout) {
    bool result = false;
    int t = FirstTimeout;
    Report report;
    for (;;) {
        const int n = Device.ReadReport(report.data(), kReportSize, t);
        t = 0;
        if (n < 0) {
            // The device is gone: the link closes at once, as for a failed write, so that every
            // waiting command and the supervision see it, not an endless "no data yet".
            Disconnect();
            break;
        }
        if (n == 0) break;
        if (n < kReportSize) continue; // short reports are not of this protocol
        const uint8_t channel = report[0];
        if (channel >= kChannels) continue;
        auto& buffer = RxBuffers[channel];
        if (buffer.size() * kReportSize < kChannelBufferCap)
            buffer.push_back(report);
        else
            ++Drops[channel];
        result = true;
    }
    return result;
}

void TkvComms::ReadMessage(uint8_t Channel, int Timeout, std::string& Data) {
    if (Channel >= kChannels) return;
    Data.clear();
    const bool hasDeadline = Timeout >= 0;
    const int64_t deadline = hasDeadline ? Clock().NowMs() + Timeout : 0;
    auto& buffer = RxBuffers[Channel];
    for (;;) {
        PollReports(0);
        if (!buffer.empty()) {
            const Report& r = buffer.front();
            // A length above 61 lies outside the format: never read past the 64-byte report.
            const size_t length = std::min<size_t>(r[2], kPayloadSize);
            Data.assign(reinterpret_cast<const char*>(r.data()) + kReportHeader, length);
            buffer.pop_front();
            return;
        }
        if (!PollReports(Timeout)) return;
        if (!hasDeadline) return;
        if (Clock().NowMs() >= deadline) return;
    }
}

bool TkvComms::WriteMessage(std::string Data, uint8_t Channel, uint8_t Flags, int Timeout) {
    if (Channel >= kChannels) return false;
    ++sends_;
    size_t offset = 0;
    while (offset < Data.size()) {
        const size_t n = std::min<size_t>(kPayloadSize, Data.size() - offset);
        const Report report = MakeReport(Channel, Flags, Data.substr(offset, n));
        offset += n;
        if (Device.WriteReport(report.data(), kReportSize, Timeout) != kReportSize) {
            // A report that cannot be written in time means the device is gone: close the link.
            Disconnect();
            return false;
        }
    }
    return true;
}

// ---- TkvTerminal ----

void TkvTerminal::SendText(const std::string& Text) {
    Comms.WriteMessage(Text, kConsoleChannel, 0, 200);
}

void TkvTerminal::SendLine(const std::string& Text) {
    SendText(Text + '\r');
}

void TkvTerminal::ReadBytes(int Count, int Timeout, std::string& Text) {
    Text.clear();
    if (Count < 0) Count = 0;
    std::string piece;
    while (Pending.size() < static_cast<size_t>(Count)) {
        Comms.ReadMessage(kConsoleChannel, Timeout, piece);
        if (piece.empty()) return;
        Pending += piece;
    }
    // Taken through a new string: Text may be any string of the caller's.
    Text = std::string(Pending, 0, static_cast<size_t>(Count));
    Pending.erase(0, static_cast<size_t>(Count));
}

bool TkvTerminal::ReadUntil(const std::string& EndMarker, const std::string& TrimMarker,
                            std::string& Text, int Timeout) {
    Text.clear();
    if (!IsConnected()) return false;
    std::string c;
    for (;;) {
        ReadBytes(1, Timeout, c);
        if (c.empty()) return false; // silence: the partial text, untrimmed
        Text += c;
        if (!EndMarker.empty() && Text.size() >= EndMarker.size() &&
            Text.compare(Text.size() - EndMarker.size(), EndMarker.size(), EndMarker) == 0)
            break;
    }
    if (TrimMarker.empty()) return true;
    const size_t at = Text.rfind(TrimMarker);
    if (at != std::string::npos) Text.resize(at);
    return true;
}

bool TkvTerminal::ReadToPromptEnd(int Timeout, std::string& Text) {
    const std::string mark(1, PromptEndMark);
    return ReadUntil(mark, mark, Text, Timeout);
}

bool TkvTerminal::ReadToPromptStart(int Timeout, std::string& Text) {
    const std::string mark(1, PromptStartMark);
    return ReadUntil(mark, mark, Text, Timeout);
}

bool TkvTerminal::PromptContains(const std::string& Text) {
    std::string prompt;
    ReadToPromptEnd(50, prompt);
    Comms.WriteMessage(std::string(1, EscapeKey), kConsoleChannel, 0, 50);
    // A prompt whose start came is read to its end even when its rest comes later than 50 ms: a
    // password prompt seen in part would let the next command go out as a password attempt.
    if (!ReadToPromptEnd(50, prompt) && prompt.find(PromptStartMark) != std::string::npos) {
        std::string rest;
        ReadToPromptEnd(1000, rest);
        prompt += rest;
    }
    return prompt.find(Text) != std::string::npos;
}

bool TkvTerminal::IsReady() {
    return !PromptContains("PASSWORD");
}

void TkvTerminal::ClearInput() {
    Comms.ClearChannel(kConsoleChannel);
}

bool TkvTerminal::IsBootLoader() {
    return Comms.Device.GetProduct().find(u"BootLoader") != std::u16string::npos;
}

} // namespace kv
