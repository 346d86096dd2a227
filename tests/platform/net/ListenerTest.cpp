#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/Listener.h"
#include "tests/support/LoopbackSocket.h"

using namespace veltrane;
using namespace std::chrono_literals;
using veltrane::testing::LoopbackSocket;

namespace {
// Accepts connections and hands them to the test one by one.
struct Accepted {
    void operator()(std::shared_ptr<net::Connection> connection) {
        std::lock_guard lock(mutex);
        connections.push_back(std::move(connection));
        changed.notify_all();
    }
    std::shared_ptr<net::Connection> next() {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 20s, [&] { return taken < connections.size(); })) return nullptr;
        return connections[taken++];
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<net::Connection>> connections;
    std::size_t taken = 0;
};

std::shared_ptr<net::Listener> listening(const std::string& address, const std::shared_ptr<Accepted>& accepted) {
    auto listener = net::Listener::create(address, "deck.http.conn");
    EXPECT_FALSE(listener->bind(0));
    listener->start([accepted](std::shared_ptr<net::Connection> c) { (*accepted)(std::move(c)); });
    return listener;
}

// A listener, a client connected to it, and the server's side of that connection.
struct Pair {
    std::shared_ptr<Accepted> accepted = std::make_shared<Accepted>();
    std::shared_ptr<net::Listener> listener;
    LoopbackSocket client;
    std::shared_ptr<net::Connection> connection;
};
Pair connectedPair(const std::string& listenAddress = "127.0.0.1", const std::string& clientAddress = "127.0.0.1") {
    Pair pair;
    pair.listener = listening(listenAddress, pair.accepted);
    pair.client = LoopbackSocket::connect(pair.listener->port(), clientAddress);
    pair.connection = pair.accepted->next();
    return pair;
}

bool closeOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

int optionValue(int fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    ::getsockopt(fd, level, name, &value, &size);
    return value;
}

// This process's sockets whose local port is `port`.
std::vector<int> socketsOnPort(std::uint16_t port) {
    std::vector<int> fds;
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) continue;
        std::uint16_t local = 0;
        if (address.ss_family == AF_INET) local = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        if (address.ss_family == AF_INET6) local = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        if (local == port) fds.push_back(fd);
    }
    return fds;
}

struct Received {
    std::string data;
    bool complete = false;
    std::error_code error;
    std::string queueLabel;
};

Received receiveOnce(const std::shared_ptr<net::Connection>& connection) {
    auto promise = std::make_shared<std::promise<Received>>();
    connection->receive(65536, [promise](std::string data, bool complete, std::error_code error) {
        promise->set_value({std::move(data), complete, error, dispatch::DispatchQueue::currentLabel()});
    });
    auto future = promise->get_future();
    if (future.wait_for(20s) != std::future_status::ready)
        return {"", false, std::make_error_code(std::errc::timed_out), ""};
    return future.get();
}

// The descriptor numbers this process has open.
std::set<int> openDescriptors() {
    std::set<int> open;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return open;
    const int own = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) open.insert(fd);
    }
    ::closedir(dir);
    return open;
}

// A soft descriptor limit that leaves exactly `free` descriptors to open.
rlim_t limitLeaving(int free) {
    const std::set<int> open = openDescriptors();
    int fd = 0;
    for (int left = free; left > 0; ++fd)
        if (!open.count(fd)) --left;
    return static_cast<rlim_t>(fd);
}

// How many more descriptors the process can open now (counted up to `most`).
int freeDescriptors(int most) {
    std::vector<int> opened;
    for (int i = 0; i < most; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        opened.push_back(fd);
    }
    for (int fd : opened) ::close(fd);
    return static_cast<int>(opened.size());
}

bool haveIPv6Loopback() {
    int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    sockaddr_in6 loop6{};
    loop6.sin6_family = AF_INET6;
    loop6.sin6_addr = in6addr_loopback;
    bool ok = ::bind(probe, reinterpret_cast<sockaddr*>(&loop6), sizeof loop6) == 0;
    ::close(probe);
    return ok;
}
}  // namespace

TEST(Listener, EveryDescriptorIsCloseOnExecAndOnlyListeningSocketsSharePorts) {
    auto accepted = std::make_shared<Accepted>();
    auto listener = listening("127.0.0.1", accepted);
    ASSERT_NE(listener->port(), 0);
    auto client = LoopbackSocket::connect(listener->port());
    ASSERT_NE(accepted->next(), nullptr);

    auto fds = socketsOnPort(listener->port());
    std::erase(fds, client.fd());
    const auto listening =
        std::count_if(fds.begin(), fds.end(), [](int fd) { return optionValue(fd, SOL_SOCKET, SO_ACCEPTCONN) == 1; });
    EXPECT_GE(listening, 2) << "several loops accept";
    EXPECT_EQ(fds.size() - listening, 1u) << "the accepted one";
    for (int fd : fds) {
        EXPECT_TRUE(closeOnExec(fd)) << "descriptor " << fd << " would leak into child processes";
        EXPECT_EQ(optionValue(fd, IPPROTO_TCP, TCP_NODELAY), 1) << "small WebSocket frames would wait";
        if (optionValue(fd, SOL_SOCKET, SO_ACCEPTCONN) != 1) continue;
        EXPECT_EQ(optionValue(fd, SOL_SOCKET, SO_REUSEADDR), 1);
        EXPECT_EQ(optionValue(fd, SOL_SOCKET, SO_REUSEPORT), 1);
    }
}

TEST(Listener, BindErrorsComeBackAsStandardCodes) {
    auto first = net::Listener::create("127.0.0.1", "deck.http.conn");
    ASSERT_FALSE(first->bind(0));
    auto second = net::Listener::create("127.0.0.1", "deck.http.conn");
    EXPECT_EQ(second->bind(first->port()), std::errc::address_in_use);
    EXPECT_THROW(net::Listener::create("not an address", "deck.http.conn"), std::system_error);
}

// Sharing the port spreads one server's connections; it must not let the
// server join a port another program already listens on.
TEST(Listener, APortAnotherSocketHoldsIsRefusedEvenWhenItSharesPorts) {
    for (const bool foreignShares : {false, true}) {
        SCOPED_TRACE(foreignShares ? "foreign socket with SO_REUSEPORT" : "plain foreign socket");
        const int foreign = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(foreign, 0);
        int on = 1;
        if (foreignShares) ::setsockopt(foreign, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(foreign, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(foreign, 8), 0);
        socklen_t size = sizeof address;
        ASSERT_EQ(::getsockname(foreign, reinterpret_cast<sockaddr*>(&address), &size), 0);

        auto listener = net::Listener::create("127.0.0.1", "deck.http.conn");
        EXPECT_EQ(listener->bind(ntohs(address.sin_port)), std::errc::address_in_use);
        ::close(foreign);
    }
}

// Connections are accepted on every network loop, each on the loop's own
// thread, so one busy loop does not hold up the others' peers.
TEST(Listener, ConnectionsSpreadOverTheNetworkLoops) {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<std::shared_ptr<net::Connection>> held;
    auto listener = net::Listener::create("127.0.0.1", "deck.http.conn");
    ASSERT_FALSE(listener->bind(0));
    listener->start([&](std::shared_ptr<net::Connection> c) {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        held.push_back(std::move(c));
    });
    constexpr std::size_t kPeers = 64;
    std::vector<LoopbackSocket> peers;
    for (std::size_t i = 0; i < kPeers; ++i) peers.push_back(LoopbackSocket::connect(listener->port()));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (held.size() == kPeers || std::chrono::steady_clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    listener->cancel();
    std::lock_guard lock(mutex);
    EXPECT_EQ(held.size(), kPeers);
    // The kernel picks a socket by each peer's address and port: 64 peers
    // all on one of them would be a chance of one in 2^63 or less.
    EXPECT_GT(threads.size(), 1u);
    for (auto& connection : held) connection->cancel();
}

TEST(Listener, RemoteHostPrintsMappedIPv4AsDottedIPv4) {
    if (!haveIPv6Loopback()) GTEST_SKIP() << "no IPv6 on this machine";
    // An IPv6 socket that takes IPv4 peers sees them as ::ffff:127.0.0.1.
    auto pair = connectedPair("::ffff:127.0.0.1", "127.0.0.1");
    ASSERT_NE(pair.connection, nullptr);
    EXPECT_EQ(pair.connection->remoteHost(), "127.0.0.1");
}

TEST(Listener, RemoteHostOfAnIPv6Peer) {
    if (!haveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    auto pair = connectedPair("::1", "::1");
    ASSERT_NE(pair.connection, nullptr);
    EXPECT_EQ(pair.connection->remoteHost(), "::1");
}

TEST(Connection, ReceiveSendAndEndOfStreamOnItsOwnQueue) {
    auto [accepted, listener, client, connection] = connectedPair();
    ASSERT_NE(connection, nullptr);

    client.sendAll("ping");
    auto first = receiveOnce(connection);
    EXPECT_EQ(first.data, "ping");
    EXPECT_FALSE(first.complete);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(first.queueLabel, "deck.http.conn");

    // Sends leave in order; queuedBytes() counts what has not been written.
    auto written = std::make_shared<std::promise<std::size_t>>();
    connection->send("a", nullptr);
    connection->send("bc", [connection, written](std::error_code error) {
        written->set_value(error ? 999 : connection->queuedBytes());
    });
    auto left = written->get_future();
    ASSERT_EQ(left.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(left.get(), 0u);
    EXPECT_EQ(client.readExactly(3), std::optional<std::string>("abc"));

    client.shutdownWrite();
    auto end = receiveOnce(connection);
    EXPECT_TRUE(end.complete);
    EXPECT_TRUE(end.data.empty());
    EXPECT_FALSE(end.error);
}

TEST(Connection, LargeSendsArriveWholeAndInOrder) {
    auto [accepted, listener, client, connection] = connectedPair();
    ASSERT_NE(connection, nullptr);
    std::string expected;
    for (char c : std::string("abcdefgh")) {
        std::string block(1 << 20, c);  // far more than a socket buffer holds
        expected += block;
        connection->send(std::move(block), nullptr);
    }
    EXPECT_EQ(client.readExactly(expected.size()), std::optional<std::string>(expected));
}

TEST(Connection, SendsFromManyThreadsArriveWholeAndInEachThreadsOrder) {
    // Shared and owned sends from several threads at once, large enough that
    // some wait behind others: none may be split by another.
    auto [accepted, listener, client, connection] = connectedPair();
    ASSERT_NE(connection, nullptr);
    constexpr std::size_t kBlock = 64 * 1024, kPerThread = 24;
    const std::string letters = "abcd";
    std::vector<std::thread> senders;
    for (char letter : letters) {
        senders.emplace_back([connection = connection, letter] {
            for (std::size_t i = 0; i < kPerThread; ++i) {
                // Every block names its sender and its place in that sender's order.
                std::string block(kBlock, letter);
                block.replace(1, 4, std::to_string(1000 + i));
                if (i % 2 == 0)
                    connection->sendShared(std::make_shared<const std::string>(std::move(block)), nullptr);
                else
                    connection->send(std::move(block), nullptr);
            }
        });
    }
    auto received = client.readExactly(letters.size() * kPerThread * kBlock);
    for (auto& t : senders) t.join();
    ASSERT_TRUE(received);
    std::map<char, std::size_t> next;
    for (std::size_t at = 0; at < received->size(); at += kBlock) {
        const char letter = (*received)[at];
        std::string expected(kBlock, letter);
        expected.replace(1, 4, std::to_string(1000 + next[letter]++));
        ASSERT_EQ(received->compare(at, kBlock, expected), 0) << "block at " << at;
    }
    for (char letter : letters) EXPECT_EQ(next[letter], kPerThread);
}

TEST(Connection, CancelClosesTheSocketAndFailsWhatIsPending) {
    auto [accepted, listener, client, connection] = connectedPair();
    ASSERT_NE(connection, nullptr);

    auto pending = std::make_shared<std::promise<std::error_code>>();
    connection->receive(100, [pending](std::string, bool, std::error_code error) { pending->set_value(error); });
    connection->cancel();
    connection->cancel();
    auto error = pending->get_future();
    ASSERT_EQ(error.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(error.get(), std::errc::operation_canceled);
    EXPECT_EQ(client.readToEnd(), std::optional<std::string>("")) << "the peer sees the end of the stream";

    auto late = std::make_shared<std::promise<std::error_code>>();
    connection->send("x", [late](std::error_code e) { late->set_value(e); });
    auto lateError = late->get_future();
    ASSERT_EQ(lateError.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(lateError.get(), std::errc::operation_canceled);
    EXPECT_EQ(connection->queuedBytes(), 0u);
}

TEST(Listener, CancelStopsAcceptingAndFreesThePort) {
    auto accepted = std::make_shared<Accepted>();
    auto listener = listening("127.0.0.1", accepted);
    const auto port = listener->port();
    listener->cancel();
    EXPECT_FALSE(LoopbackSocket::tryConnect(port).valid());
    auto again = net::Listener::create("127.0.0.1", "deck.http.conn");
    EXPECT_FALSE(again->bind(port)) << "the port is free again at once";
}

// A flood of peers never takes the descriptors the rest of the process needs
// to open a file or a pipe: accepting stops a few short of the limit and
// picks up again once connections close.
TEST(Listener, AcceptingLeavesSpareDescriptorsAndResumesOnceConnectionsClose) {
    constexpr int kPeers = 64;
    auto listener = net::Listener::create("127.0.0.1", "deck.http.conn");
    ASSERT_FALSE(listener->bind(0));
    std::vector<LoopbackSocket> peers;  // connected now, waiting in the backlog
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(LoopbackSocket::connect(listener->port()));
        ASSERT_TRUE(peers.back().valid());
    }
    // Room above what is open for the spare and half of the peers.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};
    const rlimit tight{limitLeaving(net::Listener::kSpareDescriptors + kPeers / 2), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    auto accepted = std::make_shared<Accepted>();
    listener->start([accepted](std::shared_ptr<net::Connection> c) { (*accepted)(std::move(c)); });
    auto count = [&] {
        std::lock_guard lock(accepted->mutex);
        return accepted->connections.size();
    };
    // Until no peer has been taken for a while (accepting retries every 50 ms).
    std::size_t settled = 0;
    for (int quiet = 0; quiet < 10; ++quiet) {
        std::this_thread::sleep_for(50ms);
        if (count() != settled) quiet = 0;
        settled = count();
    }
    EXPECT_GE(settled, static_cast<std::size_t>(kPeers / 2));
    EXPECT_GE(freeDescriptors(net::Listener::kSpareDescriptors), net::Listener::kSpareDescriptors - 1);

    // Closing the accepted ones lets the rest in.
    std::vector<std::shared_ptr<net::Connection>> held;
    {
        std::lock_guard lock(accepted->mutex);
        held = accepted->connections;
    }
    for (auto& connection : held) connection->cancel();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (count() < static_cast<std::size_t>(kPeers) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        std::lock_guard lock(accepted->mutex);
        for (auto& connection : accepted->connections) connection->cancel();
    }
    EXPECT_EQ(count(), static_cast<std::size_t>(kPeers));
    listener->cancel();
}
