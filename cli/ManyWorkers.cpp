// kvb for many devices: each child kvb, started with the threads that read its standard output
// and error, and what its lines and records say.
#include "ManyRunner.h"

#include "device/Clock.h"

namespace kvb::many {

namespace {

std::string Trimmed(const std::string& text) {
    const size_t from = text.find_first_not_of(" \t");
    const size_t to = text.find_last_not_of(" \t");
    return from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
}

} // namespace

void Inbox::Push(Event e) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
    }
    ready_.notify_one();
}

bool Inbox::Pop(Event& e, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !events_.empty(); }))
        return false;
    e = std::move(events_.front());
    events_.pop_front();
    return true;
}

void Runner::Start(const std::string& id) {
    auto w = std::make_unique<Worker>();
    w->id = id;
    w->shown = Printable(id);
    w->start = Steady::now();
    // Each child goes on from this process's virtual time: one timeline for all devices.
    if (virtualTime_) {
        w->startUs = kv::Clock().NowUs();
        SetEnvironment("KVB_VIRTUAL_START_US", std::to_string(w->startUs));
    }
    std::vector<std::string> args{options_.program, "--device=" + id};
    args.insert(args.end(), options_.args.begin(), options_.args.end());
    const size_t index = workers_.size();
    try {
        w->child = std::make_unique<ChildProcess>(options_.program, args);
    } catch (const Failure& f) {
        w->running = false;
        w->openStreams = 0;
        w->status = f.Status;
        w->reason = f.what();
        w->end = Steady::now();
        workers_.push_back(std::move(w));
        Finished(*workers_.back());
        return;
    }
    for (int stream = 1; stream <= 2; ++stream)
        w->readers[stream - 1] = std::thread([this, index, stream, child = w->child.get()] {
            char buffer[4096];
            for (;;) {
                const int n = child->Read(stream, buffer, sizeof buffer);
                inbox_.Push({index, stream, std::string(buffer, static_cast<size_t>(n))});
                if (n <= 0) return;
            }
        });
    if (!global_.quiet && !live_) std::fprintf(stderr, "%s: started\n", w->shown.c_str());
    workers_.push_back(std::move(w));
    Draw(true);
}

void Runner::Pump(int timeoutMs) {
    Event e;
    if (inbox_.Pop(e, timeoutMs)) {
        Handle(e);
        while (inbox_.Pop(e, 0))
            Handle(e);
    }
    Draw(false);
}

void Runner::Handle(Event& e) {
    Worker& w = *workers_[e.worker];
    std::string& buffer = w.partial[e.stream];
    if (e.bytes.empty()) {
        if (!buffer.empty()) Line(w, e.stream, std::exchange(buffer, {}));
        if (--w.openStreams == 0) Finished(w);
        return;
    }
    buffer += e.bytes;
    for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        // A record may follow a message not ended yet: that stays for the line's end.
        const size_t mark = e.stream == 2 ? line.find(kRecordMark) : std::string::npos;
        if (mark != std::string::npos) {
            Record(w, line.substr(mark + 1));
            buffer.insert(0, line.substr(0, mark));
            continue;
        }
        Line(w, e.stream, std::move(line));
    }
    // A message still being written ("Rebooting....") is the step under way.
    if (e.stream == 2 && !Trimmed(buffer).empty() && buffer.find(kRecordMark) == std::string::npos)
        w.step = Trimmed(buffer);
}

void Runner::Line(Worker& w, int stream, std::string line) {
    std::erase(line, '\r');
    if (stream == 1) {
        Above(stdout, w.shown + ": " + line);
        return;
    }
    if (Trimmed(line).empty()) return;
    const bool error = line.rfind("kvb: ", 0) == 0;
    if (error && w.reason.empty()) w.reason = line.substr(5); // the first says most
    w.step = Trimmed(line);
    if (!live_ || error) Above(stderr, w.shown + ": " + line);
}

void Runner::Record(Worker& w, const std::string& record) {
    long long a = 0, b = 0;
    if (std::sscanf(record.c_str(), "progress %lld %lld", &a, &b) == 2) {
        const auto now = Steady::now();
        if (a < w.position || b != w.total) { // a new transfer
            w.transferStart = now;
            w.rateFrom = a;
            w.rate = 0;
        }
        w.position = a;
        w.total = b;
        const double seconds = std::chrono::duration<double>(now - w.transferStart).count();
        if (seconds > 0.2) w.rate = (a - w.rateFrom) / seconds;
    } else if (std::sscanf(record.c_str(), "clock %lld", &a) == 1) {
        w.clockUs = a;
    }
}

} // namespace kvb::many
