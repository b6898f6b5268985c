// The main window on a real X server during a long download: a separate X client sends the
// window manager's ping (_NET_WM_PING) every 200 ms and times each answer, which the window gives
// through the X server as it would to a desktop's window manager. Run under xvfb-run with
// QT_QPA_PLATFORM=xcb; exits non-zero when a ping goes unanswered for a second.
#include "device/Clock.h"
#include "tools/SimWindow.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>
#include <xcb/xcb.h>

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// A window manager's ping loop on a connection of its own.
class Pinger {
  public:
    explicit Pinger(xcb_window_t window) : window_(window) {}
    bool Start() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_)) return false;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        protocols_ = Atom(c_, "WM_PROTOCOLS");
        ping_ = Atom(c_, "_NET_WM_PING");
        // The window says it answers pings.
        xcb_get_property_reply_t* p = xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, window_, protocols_, XCB_ATOM_ATOM, 0, 32), nullptr);
        bool listed = false;
        if (p) {
            const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(p));
            listed = std::find(atoms, atoms + xcb_get_property_value_length(p) / 4, ping_) !=
                     atoms + xcb_get_property_value_length(p) / 4;
            std::free(p);
        }
        if (!listed) {
            std::fprintf(stderr, "the window does not list _NET_WM_PING in WM_PROTOCOLS\n");
            return false;
        }
        // The answer is sent to the root window; a client sees it with StructureNotify.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c_);
        thread_ = std::thread([this] { Loop(); });
        return true;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (c_) xcb_disconnect(c_);
    }
    std::vector<int64_t> latencies; // ms per ping, -1 when not answered within a second
    std::vector<int64_t> sentAt;    // ms on the steady clock

  private:
    void Loop() {
        for (uint32_t stamp = 1; !stop_; ++stamp) {
            xcb_client_message_event_t ev{};
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = window_;
            ev.type = protocols_;
            ev.data.data32[0] = ping_;
            ev.data.data32[1] = stamp;
            ev.data.data32[2] = window_;
            const auto start = std::chrono::steady_clock::now();
            sentAt.push_back(kv::SteadyClock().NowMs());
            xcb_send_event(c_, 0, window_, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&ev));
            xcb_flush(c_);
            int64_t latency = -1;
            for (;;) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count();
                if (elapsed > 1000) break;
                xcb_generic_event_t* e = xcb_poll_for_event(c_);
                if (!e) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                    const auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
                    if (m->type == protocols_ && m->data.data32[0] == ping_ &&
                        m->data.data32[1] == stamp)
                        latency = elapsed;
                }
                std::free(e);
                if (latency >= 0) break;
            }
            latencies.push_back(latency);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    xcb_window_t window_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t protocols_ = 0, ping_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    std::mt19937 random(17);
    std::string big(640 * 1024, '\0');
    for (char& c : big)
        c = static_cast<char>(random());
    auto storage = std::make_unique<kv::sim::MemoryStorage>();
    storage->AddFile("/big.bin", big);
    kv::sim::SimConfig config;
    config.reportIntervalUs = 500; // twice the real link's pace: the download takes about 5 s
    SimWindow window(std::move(storage), config);
    QElapsedTimer waited;
    waited.start();
    while (!SimWindow::SelectOnly("big.bin") && waited.elapsed() < 10000)
        SimWindow::Run(50);
    if (!SimWindow::SelectOnly("big.bin")) {
        std::fprintf(stderr, "the window did not list the simulated device\n");
        return 1;
    }
    SimWindow::Run(300);

    Pinger pinger(static_cast<xcb_window_t>(fmMain->winId()));
    if (!pinger.Start()) return 1;
    const int64_t start = kv::SteadyClock().NowMs();
    fmMain->actSaveExecute();
    const int64_t end = kv::SteadyClock().NowMs();
    pinger.Stop();

    int during = 0, unanswered = 0;
    int64_t longest = 0;
    for (size_t i = 0; i < pinger.latencies.size(); ++i) {
        if (pinger.sentAt[i] < start || pinger.sentAt[i] > end - 1000) continue;
        ++during;
        if (pinger.latencies[i] < 0) ++unanswered;
        longest = std::max(longest, pinger.latencies[i]);
    }
    QFile saved(window.pc.filePath("big.bin"));
    const bool whole = saved.open(QIODevice::ReadOnly) && saved.readAll().toStdString() == big;
    std::printf("download %lld ms, %d pings during it, %d unanswered, longest answer %lld ms, "
                "file %s\n",
                static_cast<long long>(end - start), during, unanswered,
                static_cast<long long>(longest), whole ? "whole" : "NOT whole");
    return during >= 10 && unanswered == 0 && longest < 1000 && whole ? 0 : 1;
}
