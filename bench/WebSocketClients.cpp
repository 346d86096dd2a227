// Many loopback WebSocket clients in one process, for the deck-against-peer
// benchmarks (bench/deck_vs_peers.sh). Both servers are driven by the same
// code, so the figures differ only by the server.
//
//   bench_ws_clients push N ROUNDS WARMUP THREADS TARGET...
//     Opens N clients to every target, then, round after round and taking the
//     targets in turn (the first one alternating), sends the target's HTTP
//     trigger and times it from just before its connect() to the moment the
//     last of the N clients holds a complete text frame whose payload begins
//     with {"payload". Prints per target: name, p50 and p90 in milliseconds,
//     the frame's payload size.
//   bench_ws_clients size TARGET
//     Prints the payload size of a greeted target's first message.
//   bench_ws_clients hold N SECONDS TARGET
//     Opens N clients, prints "READY N" once each is open (and greeted), then
//     reads whatever arrives until it is ended or SECONDS have passed.
//   bench_ws_clients cadence N SECONDS TEXT TARGET
//     Opens N clients, prints "READY N", then for SECONDS keeps the arrival
//     of every text frame whose payload contains TEXT. Prints "WINDOW" with
//     the frames, then their bytes (with frame headers) per client per
//     second, and the p50, p99 and largest interval in milliseconds between
//     consecutive such frames at one client.
//
// TARGET is: --target NAME --port P --ws PATH [--greeted] [--post PATH
// --body TEXT] [--token BEARER]. A greeted target sends one message to each
// client as it opens (the deck's first state); it is awaited before the client
// counts as open. Loopback only; every wait has a guard, so it always stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/system/ProcessSetup.h"

namespace {

using Clock = std::chrono::steady_clock;
// Every client holds a descriptor; the system's usual ceiling.
constexpr std::size_t kDescriptorsWanted = 1 << 20;
constexpr auto kGuard = std::chrono::seconds(20);
constexpr std::string_view kStatePrefix = "{\"payload\"";

struct Target {
    std::string name;
    int port = 0;
    std::string wsPath = "/ws";
    bool greeted = false;
    std::string postPath;
    std::string body;
    std::string token;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_ws_clients: %s (%s)\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Blocking read with the guard as its limit; 0 at end of stream.
ssize_t readSome(int fd, char* into, std::size_t size) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kGuard).count()));
    if (ready <= 0) fail("no answer within the guard");
    ssize_t n = ::read(fd, into, size);
    if (n < 0) fail("read");
    return n;
}

// Server frames are unmasked. Returns the payload of the first complete frame
// in `buffer`, its size with the header in `used`, and whether there was one.
bool takeFrame(std::string_view buffer, std::uint8_t& opcode, std::string_view& payload, std::size_t& used) {
    used = 0;
    if (buffer.size() < 2) return false;
    auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(buffer[i]); };
    std::uint64_t length = at(1) & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
        if (buffer.size() < 4) return false;
        length = (std::uint64_t{at(2)} << 8) | at(3);
        header = 4;
    } else if (length == 127) {
        if (buffer.size() < 10) return false;
        length = 0;
        for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | at(i);
        header = 10;
    }
    if (buffer.size() < header + length) return false;
    opcode = at(0) & 0x0F;
    payload = std::string_view(buffer).substr(header, static_cast<std::size_t>(length));
    used = header + static_cast<std::size_t>(length);
    return true;
}

struct Client {
    int fd = -1;
    int target = 0;
    std::string buffer;
    std::size_t states = 0;    // state frames seen since it opened
    std::size_t counted = 0;   // the last round this client was counted for
    std::size_t lastSize = 0;  // payload size of the last one
};

// Opens one client: the upgrade, and for a greeted target its first message.
std::unique_ptr<Client> open(const Target& target, int index) {
    auto client = std::make_unique<Client>();
    client->fd = connectLoopback(target.port);
    std::string request = "GET " + target.wsPath +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!target.token.empty()) request += "Authorization: Bearer " + target.token + "\r\n";
    request += "\r\n";
    writeAll(client->fd, request);
    char chunk[65536];
    std::size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
        ssize_t n = readSome(client->fd, chunk, sizeof chunk);
        if (n == 0) fail(target.name + ": closed during the upgrade of client " + std::to_string(index));
        client->buffer.append(chunk, static_cast<std::size_t>(n));
        headEnd = client->buffer.find("\r\n\r\n");
    }
    if (client->buffer.compare(0, 12, "HTTP/1.1 101") != 0)
        fail(target.name + ": upgrade refused: " + client->buffer.substr(0, client->buffer.find("\r\n")));
    client->buffer.erase(0, headEnd + 4);
    if (target.greeted) {
        for (;;) {
            std::uint8_t opcode = 0;
            std::string_view payload;
            std::size_t used = 0;
            if (takeFrame(client->buffer, opcode, payload, used)) {
                client->lastSize = payload.size();
                client->buffer.erase(0, used);
                break;
            }
            ssize_t n = readSome(client->fd, chunk, sizeof chunk);
            if (n == 0) fail(target.name + ": closed before its first message");
            client->buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    return client;
}

struct Signal {
    std::mutex mutex;
    std::condition_variable changed;
};

// One reader thread: its share of every target's clients on one epoll.
class Reader {
public:
    Reader(std::size_t targets) : done_(targets, 0), last_(targets) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) fail("epoll_create1");
        perTarget_.assign(targets, 0);
    }
    ~Reader() { close(epoll_); }

    void add(Client* client) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = client;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, client->fd, &event) != 0) fail("epoll_ctl");
        ++perTarget_[static_cast<std::size_t>(client->target)];
    }

    // Counts a round's completion for target `t` once all of its clients here
    // have seen `round` state frames.
    void run(std::atomic<bool>& stop, std::vector<std::atomic<std::size_t>>& rounds,
             std::vector<std::atomic<std::size_t>>& finished, Signal& signal) {
        epoll_event events[256];
        char chunk[65536];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = epoll_wait(epoll_, events, 256, 50);
            for (int i = 0; i < n; ++i) {
                auto* client = static_cast<Client*>(events[i].data.ptr);
                for (;;) {
                    ssize_t got = ::recv(client->fd, chunk, sizeof chunk, MSG_DONTWAIT);
                    if (got < 0 && errno == EINTR) continue;
                    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    if (got <= 0) fail("a client lost its connection");
                    client->buffer.append(chunk, static_cast<std::size_t>(got));
                    if (static_cast<std::size_t>(got) < sizeof chunk) break;
                }
                const auto now = Clock::now();
                std::uint8_t opcode = 0;
                std::string_view payload;
                std::size_t used = 0, consumed = 0;
                std::string& buffer = client->buffer;
                std::string_view rest(buffer);
                while (takeFrame(rest, opcode, payload, used)) {
                    rest.remove_prefix(used);
                    consumed += used;
                    if (opcode != 0x1 || payload.substr(0, kStatePrefix.size()) != kStatePrefix) continue;
                    client->lastSize = payload.size();
                    ++client->states;
                    const auto t = static_cast<std::size_t>(client->target);
                    const std::size_t wanted = rounds[t].load(std::memory_order_acquire);
                    if (client->states < wanted || client->counted >= wanted) continue;
                    client->counted = wanted;
                    last_[t] = std::max(last_[t], now);
                    if (++done_[t] == perTarget_[t]) {
                        done_[t] = 0;
                        finishedAt_[t] = last_[t];
                        last_[t] = {};
                        {
                            std::lock_guard lock(signal.mutex);
                            finished[t].fetch_add(1, std::memory_order_release);
                        }
                        signal.changed.notify_all();
                    }
                }
                buffer.erase(0, consumed);
            }
        }
    }

    bool has(std::size_t target) const { return perTarget_[target] > 0; }
    Clock::time_point finishedAt(std::size_t target) const { return finishedAt_[target]; }
    void prepare(std::size_t targets) { finishedAt_.assign(targets, {}); }

private:
    int epoll_ = -1;
    std::vector<std::size_t> perTarget_;
    std::vector<std::size_t> done_;
    std::vector<Clock::time_point> last_;
    std::vector<Clock::time_point> finishedAt_;
};

std::vector<Target> parseTargets(int argc, char** argv, int first) {
    std::vector<Target> targets;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--target") {
            targets.push_back({});
            targets.back().name = value();
            continue;
        }
        if (targets.empty()) fail("options before --target");
        Target& t = targets.back();
        if (arg == "--port") t.port = std::atoi(value().c_str());
        else if (arg == "--ws") t.wsPath = value();
        else if (arg == "--greeted") t.greeted = true;
        else if (arg == "--post") t.postPath = value();
        else if (arg == "--body") t.body = value();
        else if (arg == "--token") t.token = value();
        else fail("unknown option " + arg);
    }
    if (targets.empty()) fail("no target");
    return targets;
}

// The trigger: one POST on a connection of its own; the answer is read after
// the round so that reading it never delays the clients.
int trigger(const Target& target) {
    int fd = connectLoopback(target.port);
    std::string request = "POST " + target.postPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                          "Content-Type: application/json\r\nContent-Length: " + std::to_string(target.body.size()) +
                          "\r\n";
    if (!target.token.empty()) request += "Authorization: Bearer " + target.token + "\r\n";
    request += "\r\n" + target.body;
    writeAll(fd, request);
    return fd;
}

void finishTrigger(int fd, const Target& target) {
    std::string answer;
    char chunk[4096];
    for (;;) {
        ssize_t n = readSome(fd, chunk, sizeof chunk);
        if (n == 0) break;
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0)
        fail(target.name + ": trigger answered " + answer.substr(0, answer.find("\r\n")));
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const auto index = std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
    return values[index];
}

int push(int argc, char** argv) {
    if (argc < 7) fail("usage: push N ROUNDS WARMUP THREADS TARGET...");
    const int n = std::atoi(argv[2]);
    const int rounds = std::atoi(argv[3]);
    const int warmup = std::atoi(argv[4]);
    const int threadCount = std::max(1, std::atoi(argv[5]));
    const std::vector<Target> targets = parseTargets(argc, argv, 6);
    veltrane::sys::raiseDescriptorLimit(kDescriptorsWanted);

    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int r = 0; r < threadCount; ++r) readers.push_back(std::make_unique<Reader>(targets.size()));
    for (std::size_t t = 0; t < targets.size(); ++t) {
        for (int i = 0; i < n; ++i) {
            clients.push_back(open(targets[t], i));
            clients.back()->target = static_cast<int>(t);
            readers[static_cast<std::size_t>(i % threadCount)]->add(clients.back().get());
        }
    }
    std::vector<std::atomic<std::size_t>> round(targets.size());
    std::vector<std::atomic<std::size_t>> finished(targets.size());
    for (auto& r : readers) r->prepare(targets.size());
    std::atomic<bool> stop{false};
    Signal signal;
    std::vector<std::thread> threads;
    for (auto& r : readers)
        threads.emplace_back([&, reader = r.get()] { reader->run(stop, round, finished, signal); });

    std::vector<std::vector<double>> samples(targets.size());
    for (int k = 0; k < warmup + rounds; ++k) {
        for (std::size_t j = 0; j < targets.size(); ++j) {
            const std::size_t t = (j + static_cast<std::size_t>(k)) % targets.size();
            std::size_t readersWithTarget = 0;
            for (auto& r : readers) readersWithTarget += r->has(t) ? 1 : 0;
            const std::size_t before = finished[t].load();
            round[t].fetch_add(1, std::memory_order_release);
            const auto start = Clock::now();
            const int fd = trigger(targets[t]);
            const auto deadline = Clock::now() + kGuard;
            // Readers wake this thread when they finish, so it takes no
            // processor from them meanwhile.
            {
                std::unique_lock lock(signal.mutex);
                while (finished[t].load(std::memory_order_acquire) < before + readersWithTarget) {
                    if (Clock::now() > deadline) fail(targets[t].name + ": not every client got the state");
                    signal.changed.wait_for(lock, std::chrono::milliseconds(50));
                }
            }
            Clock::time_point end{};
            for (auto& r : readers)
                if (r->has(t)) end = std::max(end, r->finishedAt(t));
            finishTrigger(fd, targets[t]);
            if (k >= warmup) samples[t].push_back(std::chrono::duration<double, std::milli>(end - start).count());
            // Lets the servers' tails (answers, completions) settle before the next round.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    stop = true;
    for (auto& th : threads) th.join();
    for (std::size_t t = 0; t < targets.size(); ++t) {
        std::size_t size = 0;
        for (auto& c : clients)
            if (static_cast<std::size_t>(c->target) == t) size = c->lastSize;
        std::printf("%s %d %.3f %.3f %zu\n", targets[t].name.c_str(), n, quantile(samples[t], 0.5),
                    quantile(samples[t], 0.9), size);
    }
    for (auto& c : clients) close(c->fd);
    return 0;
}

int size(int argc, char** argv) {
    const std::vector<Target> targets = parseTargets(argc, argv, 2);
    auto client = open(targets.front(), 0);
    std::printf("%zu\n", client->lastSize);
    close(client->fd);
    return 0;
}

int hold(int argc, char** argv) {
    if (argc < 5) fail("usage: hold N SECONDS TARGET");
    const int n = std::atoi(argv[2]);
    const auto until = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    const std::vector<Target> targets = parseTargets(argc, argv, 4);
    veltrane::sys::raiseDescriptorLimit(kDescriptorsWanted);
    std::vector<std::unique_ptr<Client>> clients;
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < n; ++i) {
        clients.push_back(open(targets.front(), i));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = clients.back().get();
        epoll_ctl(epoll, EPOLL_CTL_ADD, clients.back()->fd, &event);
    }
    std::printf("READY %d\n", n);
    std::fflush(stdout);
    epoll_event events[256];
    char chunk[65536];
    while (Clock::now() < until) {
        int ready = epoll_wait(epoll, events, 256, 1000);
        for (int i = 0; i < ready; ++i) {
            auto* client = static_cast<Client*>(events[i].data.ptr);
            ssize_t got = ::read(client->fd, chunk, sizeof chunk);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) fail("a held client lost its connection");
        }
    }
    return 0;
}

int cadence(int argc, char** argv) {
    if (argc < 6) fail("usage: cadence N SECONDS TEXT TARGET");
    const int n = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    const std::string wanted = argv[4];
    const std::vector<Target> targets = parseTargets(argc, argv, 5);
    veltrane::sys::raiseDescriptorLimit(kDescriptorsWanted);
    struct Watch {
        std::unique_ptr<Client> client;
        std::optional<Clock::time_point> last;
    };
    std::vector<Watch> watches;
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) fail("epoll_create1");
    for (int i = 0; i < n; ++i) {
        watches.push_back({open(targets.front(), i), std::nullopt});
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<std::uint64_t>(i);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, watches.back().client->fd, &event) != 0) fail("epoll_ctl");
    }
    std::printf("READY %d\n", n);
    std::fflush(stdout);
    std::vector<double> intervals;
    std::size_t frames = 0, bytes = 0;
    const auto start = Clock::now();
    const auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    epoll_event events[256];
    char chunk[65536];
    for (auto now = start; now < until; now = Clock::now()) {
        const int ready = epoll_wait(epoll, events, 256, 20);
        const auto arrived = Clock::now();
        for (int i = 0; i < ready; ++i) {
            Watch& watch = watches[events[i].data.u64];
            std::string& buffer = watch.client->buffer;
            for (;;) {
                const ssize_t got = ::recv(watch.client->fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (got < 0 && errno == EINTR) continue;
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                if (got <= 0) fail("a client lost its connection");
                buffer.append(chunk, static_cast<std::size_t>(got));
            }
            std::uint8_t opcode = 0;
            std::string_view payload;
            std::size_t used = 0, consumed = 0;
            std::string_view rest(buffer);
            while (takeFrame(rest, opcode, payload, used)) {
                rest.remove_prefix(used);
                consumed += used;
                if (opcode != 0x1 || payload.find(wanted) == std::string_view::npos) continue;
                ++frames;
                bytes += used;
                if (watch.last)
                    intervals.push_back(std::chrono::duration<double, std::milli>(arrived - *watch.last).count());
                watch.last = arrived;
            }
            buffer.erase(0, consumed);
        }
    }
    const double span = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("WINDOW %.3f\n", span);
    if (intervals.empty()) intervals.push_back(0);
    std::printf("%zu %.1f %.2f %.2f %.2f\n", frames, static_cast<double>(bytes) / n / span, quantile(intervals, 0.5),
                quantile(intervals, 0.99), quantile(intervals, 1.0));
    for (auto& watch : watches) close(watch.client->fd);
    close(epoll);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "push") return push(argc, argv);
    if (mode == "hold") return hold(argc, argv);
    if (mode == "size") return size(argc, argv);
    if (mode == "cadence") return cadence(argc, argv);
    std::fprintf(stderr, "usage: bench_ws_clients push|hold|size|cadence ...\n");
    return 2;
}
