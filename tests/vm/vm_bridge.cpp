// Presents the simulated device as a real full-speed USB HID device to a virtual machine: the
// device side of the usbredir protocol on a loopback port, bridged to the simulated device.
// Reports on channel 30 whose payload starts with "BRIDGE " are orders to the bridge itself:
// "BRIDGE UNPLUG" (off the bus for 2 s) and "BRIDGE STALLOUT" (take no output report for 3 s).
// The device's own restarts ("boot", "run") take it off the bus and bring it back as they would a
// real device: as the boot loader or as the application, with that one's strings.
// Usage: vm_bridge PORT [SLOW_MS]. After SIGUSR1 the device's input reports go to the machine at
// most one per SLOW_MS milliseconds (the device waits for the host, as a real one does when its
// endpoint is not polled): Wine's HID stack in the emulated machine is slower than the device.
// SIGUSR2 restarts the device into its boot loader, as its "boot" does, for a program that holds
// it while no other program may send it a command.
#include "sim/SimDevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace kv;

const uint8_t kReportDescriptor[] = {0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                     0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                     0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

std::vector<uint8_t> DeviceDescriptor() {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xD0, 0x16, 0x4E, 0x06, 0x00, 0x01, 1, 2, 3, 1};
}

std::vector<uint8_t> ConfigDescriptor() {
    const uint8_t n = sizeof kReportDescriptor;
    return {9, 2,    41,   0,    1,  1, 0,    0x80, 50, // configuration
            9, 4,    0,    0,    2,  3, 0,    0,    0,  // interface: HID, two endpoints
            9, 0x21, 0x11, 0x01, 0,  1, 0x22, n,    0,  // HID
            7, 5,    0x81, 3,    64, 0, 1,              // interrupt IN, 1 ms
            7, 5,    0x01, 3,    64, 0, 1};             // interrupt OUT, 1 ms
}

struct Bridge {
    int fd = -1;
    usbredirparser* parser = nullptr;
    sim::SimDevice* device = nullptr;
    bool connected = false;
    bool greeted = false; // the host has said hello: the device may be connected
    bool receiving = false;
    uint64_t inId = 0;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> outPending;
    int64_t stallOutUntil = 0;
    int64_t reconnectAt = 0;

    static int64_t Now() { return kv::Clock().NowMs(); }

    void Connect() {
        usb_redir_device_connect_header connect{};
        connect.speed = usb_redir_speed_full;
        connect.vendor_id = 0x16D0;
        connect.product_id = 0x064E;
        connect.device_version_bcd = 0x0100;
        usb_redir_interface_info_header interfaces{};
        interfaces.interface_count = 1;
        interfaces.interface_class[0] = 3;
        usb_redir_ep_info_header endpoints{};
        std::memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
        endpoints.type[0] = endpoints.type[16] = usb_redir_type_control;
        endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 64;
        endpoints.type[1] = endpoints.type[17] = usb_redir_type_interrupt; // OUT 0x01, IN 0x81
        endpoints.interval[1] = endpoints.interval[17] = 1;
        endpoints.max_packet_size[1] = endpoints.max_packet_size[17] = 64;
        usbredirparser_send_interface_info(parser, &interfaces);
        usbredirparser_send_ep_info(parser, &endpoints);
        usbredirparser_send_device_connect(parser, &connect);
        connected = true;
    }

    void Disconnect() {
        usbredirparser_send_device_disconnect(parser);
        connected = false;
        receiving = false;
        outPending.clear();
    }

    std::vector<uint8_t> StringDescriptor(int index) {
        if (index == 0) return {4, 3, 0x09, 0x04};
        std::u16string text;
        HidString which = HidString::Indexed;
        if (index == 1) which = HidString::Manufacturer;
        if (index == 2) which = HidString::Product;
        if (index == 3) which = HidString::SerialNumber;
        if (!device->String(which, index, text)) return {};
        std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
        for (char16_t c : text) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
        return out;
    }

    void Control(uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int length) {
        (void)data;
        (void)length;
        std::vector<uint8_t> reply;
        bool ok = true;
        const int type = h->value >> 8, index = h->value & 0xFF;
        if (h->requesttype == 0x80 && h->request == 6) { // GET_DESCRIPTOR, standard
            if (type == 1)
                reply = DeviceDescriptor();
            else if (type == 2)
                reply = ConfigDescriptor();
            else if (type == 3)
                reply = StringDescriptor(index);
            ok = !reply.empty();
        } else if (h->requesttype == 0x81 && h->request == 6 && type == 0x22) { // HID report
            reply.assign(kReportDescriptor, kReportDescriptor + sizeof kReportDescriptor);
        } else if (h->requesttype == 0x80 && h->request == 0) { // GET_STATUS
            reply = {0, 0};
        } else if (h->requesttype == 0x80 && h->request == 8) { // GET_CONFIGURATION
            reply = {1};
        } else if ((h->requesttype & 0x80) == 0) {
            ok = true; // SET_IDLE, SET_CONFIGURATION, SET_FEATURE ...: accepted
        } else {
            ok = false;
        }
        if (reply.size() > h->length) reply.resize(h->length);
        h->status = ok ? usb_redir_success : usb_redir_stall;
        h->length = static_cast<uint16_t>(reply.size());
        usbredirparser_send_control_packet(parser, id, h, reply.empty() ? nullptr : reply.data(),
                                           static_cast<int>(reply.size()));
    }

    void Out(uint64_t id, usb_redir_interrupt_packet_header* h, uint8_t* data, int length) {
        if (h->endpoint != 0x01) return;
        outPending.emplace_back(id, std::vector<uint8_t>(data, data + length));
    }

    void CompleteOut() {
        while (!outPending.empty() && Now() >= stallOutUntil) {
            auto [id, data] = outPending.front();
            outPending.pop_front();
            data.resize(kReportSize, 0);
            const std::string payload(reinterpret_cast<const char*>(data.data()) + 3,
                                      std::min<size_t>(data[2], 61));
            if (data[0] == 30 && payload.rfind("BRIDGE ", 0) == 0) {
                if (payload.rfind("BRIDGE UNPLUG", 0) == 0) reconnectAt = Now() + 2000;
                if (payload.rfind("BRIDGE STALLOUT", 0) == 0) {
                    stallOutUntil = Now() + 3000;
                    std::fprintf(stderr, "bridge: output stalled for 3 s\n");
                }
            } else {
                device->HostWrite(data.data(), 1000);
            }
            usb_redir_interrupt_packet_header reply{0x01, usb_redir_success,
                                                    static_cast<uint16_t>(length(data))};
            usbredirparser_send_interrupt_packet(parser, id, &reply, nullptr, 0);
            if (reconnectAt) {
                Disconnect();
                return;
            }
        }
    }
    static size_t length(const std::vector<uint8_t>& d) { return d.size(); }
};

Bridge bridge;
volatile sig_atomic_t slow = 0; // set by SIGUSR1
void Slow(int) {
    slow = 1;
}
volatile sig_atomic_t restart = 0; // set by SIGUSR2
void Restart(int) {
    restart = 1;
}

int Read(void*, uint8_t* data, int count) {
    const ssize_t n = recv(bridge.fd, data, count, MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    if (n == 0) return -1;
    return static_cast<int>(n);
}

int Write(void*, uint8_t* data, int count) {
    const ssize_t n = send(bridge.fd, data, count, MSG_NOSIGNAL);
    return n < 0 ? ((errno == EAGAIN) ? 0 : -1) : static_cast<int>(n);
}

void Log(void*, int level, const char* msg) {
    if (level <= usbredirparser_warning) std::fprintf(stderr, "bridge: %s\n", msg);
}

void Hello(void*, usb_redir_hello_header*) {
    bridge.greeted = true;
    bridge.Connect();
}
void Reset(void*) {}
void SetConfiguration(void*, uint64_t id, usb_redir_set_configuration_header* h) {
    usb_redir_configuration_status_header s{usb_redir_success, h->configuration};
    usbredirparser_send_configuration_status(bridge.parser, id, &s);
}
void GetConfiguration(void*, uint64_t id) {
    usb_redir_configuration_status_header s{usb_redir_success, 1};
    usbredirparser_send_configuration_status(bridge.parser, id, &s);
}
void SetAlt(void*, uint64_t id, usb_redir_set_alt_setting_header* h) {
    usb_redir_alt_setting_status_header s{usb_redir_success, h->interface, h->alt};
    usbredirparser_send_alt_setting_status(bridge.parser, id, &s);
}
void GetAlt(void*, uint64_t id, usb_redir_get_alt_setting_header* h) {
    usb_redir_alt_setting_status_header s{usb_redir_success, h->interface, 0};
    usbredirparser_send_alt_setting_status(bridge.parser, id, &s);
}
void StartInterrupt(void*, uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
    bridge.receiving = h->endpoint == 0x81;
    usb_redir_interrupt_receiving_status_header s{usb_redir_success, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(bridge.parser, id, &s);
}
void StopInterrupt(void*, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    if (h->endpoint == 0x81) bridge.receiving = false;
    usb_redir_interrupt_receiving_status_header s{usb_redir_success, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(bridge.parser, id, &s);
}
void ControlPacket(void*, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                   int length) {
    bridge.Control(id, h, data, length);
    if (data) usbredirparser_free_packet_data(bridge.parser, data);
}
void InterruptPacket(void*, uint64_t id, usb_redir_interrupt_packet_header* h, uint8_t* data,
                     int length) {
    bridge.Out(id, h, data, length);
    if (data) usbredirparser_free_packet_data(bridge.parser, data);
}
void BulkPacket(void*, uint64_t, usb_redir_bulk_packet_header*, uint8_t* data, int) {
    if (data) usbredirparser_free_packet_data(bridge.parser, data);
}
void CancelPacket(void*, uint64_t) {}
void Nothing(void*) {}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vm_bridge PORT\n");
        return 2;
    }
    kv::sim::SimConfig config;
    config.logRatePerSecond = 100;
    config.rebootMs = 1500;
    auto storage = kv::sim::DemoStorage();
    storage->AddDir("/vm");
    kv::sim::SimDevice device(kv::Clock(), std::move(storage), config);
    bridge.device = &device;
    // The device's words (KVB_SIM_DIALECT), for the run's log.
    std::fprintf(stderr, "bridge: dialect %d\n", device.faults.dialect);
    const int slowMs = argc > 2 ? std::atoi(argv[2]) : 1;
    signal(SIGUSR1, Slow);
    signal(SIGUSR2, Restart);
    int64_t restartBackAt = 0;
    int64_t nextInAt = 0;
    // The count of input reports sent, printed after each burst (2 s without one): set beside the
    // reports the machine's programs received, it tells which side lost any.
    uint64_t printedIn = 0;
    int64_t lastInAt = 0;

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        std::perror("vm_bridge");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    bridge.fd = accept(listener, nullptr, nullptr);
    close(listener);

    bridge.parser = usbredirparser_create();
    usbredirparser* p = bridge.parser;
    p->log_func = Log;
    p->read_func = Read;
    p->write_func = Write;
    p->hello_func = Hello;
    p->reset_func = Reset;
    p->set_configuration_func = SetConfiguration;
    p->get_configuration_func = GetConfiguration;
    p->set_alt_setting_func = SetAlt;
    p->get_alt_setting_func = GetAlt;
    p->start_interrupt_receiving_func = StartInterrupt;
    p->stop_interrupt_receiving_func = StopInterrupt;
    p->control_packet_func = ControlPacket;
    p->interrupt_packet_func = InterruptPacket;
    p->bulk_packet_func = BulkPacket;
    p->cancel_data_packet_func = CancelPacket;
    p->device_disconnect_ack_func = Nothing;
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_init(p, "kvb-bridge", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);

    for (;;) {
        pollfd pfd{bridge.fd, POLLIN, 0};
        if (usbredirparser_has_data_to_write(p)) pfd.events |= POLLOUT;
        poll(&pfd, 1, 1);
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) && usbredirparser_do_read(p) != 0) break;
        if (bridge.reconnectAt && Bridge::Now() >= bridge.reconnectAt) {
            bridge.reconnectAt = 0;
            bridge.Connect();
        }
        if (restart) {
            restart = 0;
            std::fprintf(stderr, "bridge: the device restarts into its boot loader on request\n");
            device.Unplug();
            restartBackAt = Bridge::Now() + 1500;
        }
        if (restartBackAt && Bridge::Now() >= restartBackAt) {
            restartBackAt = 0;
            device.RunBootLoader();
        }
        // A restart of the device itself: off the bus while it is away, back when it returns.
        const bool present = device.Present();
        if (bridge.connected && !present) {
            std::fprintf(stderr, "bridge: the device restarts\n");
            bridge.Disconnect();
        } else if (bridge.greeted && !bridge.connected && present && !bridge.reconnectAt) {
            std::fprintf(stderr, "bridge: the device is back%s\n",
                         device.InBootLoader() ? " in its boot loader" : "");
            bridge.Connect();
        }
        if (bridge.connected) {
            bridge.CompleteOut();
            uint8_t report[kReportSize];
            const bool paced = slow && slowMs > 1;
            const int quota = !paced ? 4 : Bridge::Now() >= nextInAt ? 1 : 0;
            for (int i = 0;
                 i < quota && bridge.receiving && device.HostRead(report, 0) == kReportSize; ++i) {
                nextInAt = Bridge::Now() + slowMs;
                lastInAt = Bridge::Now();
                usb_redir_interrupt_packet_header h{0x81, usb_redir_success, kReportSize};
                usbredirparser_send_interrupt_packet(p, bridge.inId++, &h, report, kReportSize);
            }
        }
        if (bridge.inId != printedIn && Bridge::Now() - lastInAt > 2000) {
            std::fprintf(stderr, "bridge: %llu input reports sent, %llu since the last count\n",
                         static_cast<unsigned long long>(bridge.inId),
                         static_cast<unsigned long long>(bridge.inId - printedIn));
            printedIn = bridge.inId;
        }
        while (usbredirparser_has_data_to_write(p))
            if (usbredirparser_do_write(p) != 0) break;
    }
    usbredirparser_destroy(p);
    return 0;
}
