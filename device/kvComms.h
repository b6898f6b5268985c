// TkvComms multiplexes the device's 64-byte reports into 32 channels; TkvTerminal holds the
// conversation with the device's text console on channel 0.
#pragma once

#include "RawHid.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kv {

constexpr int kReportSize = 64;
constexpr int kReportHeader = 3;
constexpr int kPayloadSize = kReportSize - kReportHeader; // 61
constexpr int kChannels = 32;
constexpr int kConsoleChannel = 0;
constexpr int kLogChannel = 31;
constexpr size_t kChannelBufferCap = 0x20000; // bytes of whole reports held per channel

constexpr int kVendorId = 0x16D0;
constexpr int kProductId = 0x064E;
constexpr int kUsagePage = 0xFFB2;

constexpr char PromptStartMark = '\xAB';
constexpr char PromptEndMark = '\xBB';
constexpr char EscapeKey = '\x1B';

using Report = std::array<uint8_t, kReportSize>;

// Builds one report: channel, flags, length, payload, zero padding. payload is at most 61 bytes.
Report MakeReport(uint8_t channel, uint8_t flags, const std::string& payload);

class TkvComms {
  public:
    TkvComms() = default;
    TkvComms(const TkvComms&) = delete;
    TkvComms& operator=(const TkvComms&) = delete;

    // Opens the first matching device, or the chosen one; Attached, when given, receives the
    // paths of all that are attached, or of the chosen one (a device may be attached and still
    // not be opened, for want of permission).
    bool Connect(std::vector<std::string>* Attached = nullptr);
    // The device the link is to, by serial number or interface path (see IsChosen): Connect opens
    // that one alone, also when it comes back after a restart or a replug. Empty: any device.
    std::string Chosen;
    // The device that work under way began on (see TDeviceHold): while set, Connect opens that
    // one alone, as for Chosen, so that a reconnect in the middle of the work never finds
    // another device in its place.
    std::string Held;
    bool IsConnected() const { return Device.IsOpen(); }
    void Disconnect() { Device.Close(); }
    void ClearChannel(uint8_t Channel);
    bool PollReports(int FirstTimeout);
    void ReadMessage(uint8_t Channel, int Timeout, std::string& Data);
    bool WriteMessage(std::string Data, uint8_t Channel, uint8_t Flags, int Timeout);

    // Messages written to the device so far, and connections made: whatever a device showed
    // before this count moved, nothing this link sent has changed since.
    uint64_t Sends() const { return sends_; }

    // Bytes of whole reports held for a channel (0 for a channel outside 0..31).
    size_t BufferedBytes(uint8_t Channel) const;

    // Input reports dropped on this link, counted where they were dropped: because the channel's
    // buffer was full (0 for a channel outside 0..31), and in the backend's queue (any channel).
    uint64_t DroppedReports(uint8_t Channel) const;
    // Those that may have held console bytes: the backend's and the console channel's. A command
    // during which this rises has not read all that the device said.
    uint64_t ConsoleDrops() const;
    // Those of the channels that are read (the console and the log) and the backend's. Channels
    // 1 to 30 are read by nobody, and their buffers fill by design.
    uint64_t LostReports() const;

    TRawHid Device;

  private:
    // Received reports not yet taken, per channel, oldest first. A queue of whole reports keeps
    // taking one report cheap whatever is buffered behind it.
    std::array<std::deque<Report>, kChannels> RxBuffers;
    std::array<uint64_t, kChannels> Drops{};
    uint64_t sends_ = 0;
};

// Holds the link to the device open when it is made, for the life of the object: a reconnect
// opens that device alone (by its serial number, or its interface path when it has none). Made
// with no device open, or inside another hold, it holds nothing of its own.
class TDeviceHold {
  public:
    explicit TDeviceHold(TkvComms& comms);
    ~TDeviceHold();
    TDeviceHold(const TDeviceHold&) = delete;
    TDeviceHold& operator=(const TDeviceHold&) = delete;

  private:
    TkvComms& comms_;
    bool own_ = false;
};

// The device that stands where the held one should (see TDeviceHold): another one the link has
// open, or, with the held one gone, another one attached; its serial number (or its interface
// path when it has none). Empty when nothing is held, or nothing else is there.
std::string OtherThanHeld(TkvComms& comms);

// For a device restart: while the object lives, the link waits for this same device when no
// device was chosen and others are attached. A restarted device may come back after them in the
// order of discovery, and another device waiting in its boot loader must not get the image meant
// for this one. With one device attached nothing is pinned (a hold around is let go meanwhile),
// so a boot loader that reports another serial number is still found.
class TSameDevice {
  public:
    explicit TSameDevice(TkvComms& comms);
    ~TSameDevice();
    TSameDevice(const TSameDevice&) = delete;
    TSameDevice& operator=(const TSameDevice&) = delete;

  private:
    TkvComms& comms_;
    const std::string was_, held_;
};

class TkvTerminal {
  public:
    explicit TkvTerminal(TkvComms& comms) : Comms(comms) {}

    bool IsConnected() const { return Comms.IsConnected(); }
    void SendText(const std::string& Text);
    void SendLine(const std::string& Text);
    void ReadBytes(int Count, int Timeout, std::string& Text);
    // True when the read ended at EndMarker, false when it ended by silence (Timeout).
    bool ReadUntil(const std::string& EndMarker, const std::string& TrimMarker, std::string& Text,
                   int Timeout);
    // True when the prompt end mark came, false when the device stayed silent for Timeout.
    bool ReadToPromptEnd(int Timeout, std::string& Text);
    // True when the prompt start mark came, false when the device stayed silent for Timeout.
    bool ReadToPromptStart(int Timeout, std::string& Text);
    bool PromptContains(const std::string& Text);
    bool IsReady();
    void ClearInput();
    bool IsBootLoader();

    TkvComms& Comms;
    // Console bytes taken from channel 0 and not yet consumed by a read.
    std::string Pending;
};

} // namespace kv
