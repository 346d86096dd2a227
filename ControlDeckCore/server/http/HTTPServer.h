#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ControlDeckCore/shared/Callback.h"
#include "ControlDeckCore/server/http/ConnectionRoster.h"
#include "ControlDeckCore/shared/DeckLogger.h"
#include "ControlDeckCore/server/http/HTTPRequest.h"
#include "ControlDeckCore/server/http/HTTPResponse.h"
#include "ControlDeckCore/server/http/WebSocket.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/mdns/Advertisement.h"

namespace veltrane::net {
class Connection;
class Listener;
}  // namespace veltrane::net

namespace veltrane::deck {

struct HTTPServerOptions {
    // HTTP connections held at once; see ConnectionRoster. Fewer when the
    // process may not open that many descriptors (HTTPServer::connectionCapacity).
    std::size_t maxConnections = 1'024;
    // Time a connection has to deliver its whole request, and the longest a
    // file answer may go without any of it reaching the peer.
    dispatch::Duration requestDeadline = std::chrono::seconds(30);
    std::size_t workThreads = dispatch::ConcurrentQueue::kDefaultMaxThreads;
    // Address used when not loopback-only; empty means every interface.
    std::string lanAddress;
    mdns::Advertiser advertise;  // empty: the system's mDNS responder (Avahi)
    WebSocketLimits webSocketLimits;
    DeckLogger logger;
};

// The Control Deck's network front: one request per connection, answered
// once and closed; "GET /ws" upgrades to a WebSocket. Routes are the
// handler's business.
//
// Queues: "deck.http" (listener state, the socket table, the advertised
// service), one "deck.http.conn" per connection (reading, parsing, the
// upgrade, OPTIONS and the health check, every write) and "deck.http.work"
// (the handler for every other request, unless `handlerQueue` places it).
class HTTPServer : public std::enable_shared_from_this<HTTPServer> {
public:
    static constexpr std::size_t kReceiveChunk = 65'536;
    static constexpr std::int64_t kMaxContentLength = 1'572'864;     // 1.5 MiB
    static constexpr std::size_t kMaxIncompleteBuffer = 1'605'632;   // 1.5 MiB + 32 KiB
    // Descriptors left to everything but waiting HTTP connections: the
    // listener, the event loop, WebSockets, data files, children's pipes.
    static constexpr std::size_t kDescriptorReserve = 128;
    static constexpr const char* kServiceType = "_veltrane._tcp";
    static constexpr const char* kServerIdKey = "serverId";

    using Options = HTTPServerOptions;

    using Handler = HTTPResponse(const HTTPRequest&);
    using WSHandler = void(const HTTPRequest&, std::shared_ptr<WebSocket>);

    static std::shared_ptr<HTTPServer> create(Options options = {});

    // The connections to hold at once: `wanted`, but never so many that they
    // use up `descriptorLimit` (nullopt: unlimited). A process out of
    // descriptors accepts nobody, so no newcomer would ever push the oldest
    // idle peer out, and a few stalled peers would lock every client out.
    static std::size_t connectionCapacity(std::size_t wanted, std::optional<std::size_t> descriptorLimit);
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Opens the listener (its creation errors are thrown) and binds it on
    // "deck.http"; the outcome arrives through onReady: the bound port, or 0
    // with bindFailed() and bindError() set. A loopback-only server binds
    // 127.0.0.1 and is never advertised.
    void start(std::uint16_t port, std::optional<std::string> advertiseName, bool loopbackOnly,
               std::optional<std::string> serverId);
    // Closes the listener and every WebSocket in the table (code 1000).
    void stop();
    // Replaces the advertised TXT record with serverId = `serverId`.
    void updateAdvertisedIdentity(std::string serverId);

    std::uint16_t port() const;
    bool bindFailed() const;
    std::optional<std::string> bindError() const;
    std::size_t clientCount() const;
    // "deck.http": listener state, the socket table and the advertised service.
    const std::shared_ptr<dispatch::SerialQueue>& queue() const { return queue_; }

    // Answers 404 "not found" until replaced.
    Callback<Handler> handler;
    // Where a request's handler runs: on `queue`, a serial queue, or on
    // "deck.http.work" when it is null. A handler whose work is serialised on
    // one queue anyway is answered as work of that queue, written from there:
    // no thread waits for the queue and nothing changes threads on the way
    // back. `brief` work (a read of the queue's state, no waiting on anything
    // outside the process) is run by the connection's own thread when the
    // queue is idle (or busy only with brief work it can wait out), still as
    // the queue's work, so the request changes threads only when the queue is
    // busy with something else.
    struct Placement {
        Placement(std::shared_ptr<dispatch::DispatchQueue> queue = nullptr, bool brief = false)
            : queue(std::move(queue)), brief(brief) {}
        std::shared_ptr<dispatch::DispatchQueue> queue;
        bool brief = false;
    };
    using Placer = Placement(const HTTPRequest&);
    Callback<Placer> handlerQueue;
    Callback<WSHandler> wsHandler;
    Callback<void(std::uint16_t)> onReady;

    // The request parser, fed the bytes read so far. A complete request is
    // removed from the front of `buffer`.
    struct ParseResult {
        enum class Kind { incomplete, tooLarge, request };
        Kind kind = Kind::incomplete;
        HTTPRequest request;
        bool operator==(const ParseResult&) const = default;
    };
    static ParseResult parseRequest(std::string& buffer);
    static std::string normalizePath(std::string_view path);
    static std::string_view reason(int status);
    // The bytes written for `response`: status line, its headers with
    // Content-Length, "Connection: close" and the cross-origin lines, body.
    // For a file body, everything before the file.
    static std::string responseBytes(const HTTPResponse& response);
    static std::string acceptKey(std::string_view key);

    // A file under `root` for a request path: 403 outside the root, absent
    // when missing or unreadable (so the caller can fall back).
    static std::optional<HTTPResponse> file(const std::filesystem::path& root, std::string_view path);
    // The page shown when no dashboard is installed.
    static HTTPResponse builtInPage();

private:
    struct Exchange;
    explicit HTTPServer(Options options);
    void listen(const std::shared_ptr<net::Listener>& listener, std::uint16_t port,
                std::optional<mdns::ServiceRecord> service);
    void accept(std::shared_ptr<net::Connection> connection);
    void readHTTP(const std::shared_ptr<Exchange>& exchange);
    void received(const std::shared_ptr<Exchange>& exchange, std::string data, bool isComplete,
                  std::error_code error);
    void route(const std::shared_ptr<Exchange>& exchange, HTTPRequest request);
    std::optional<HTTPResponse> respond(const HTTPRequest& request);
    void write(const std::shared_ptr<Exchange>& exchange, const std::optional<HTTPResponse>& response);
    void finished(const std::shared_ptr<Exchange>& exchange);
    void upgrade(const std::shared_ptr<Exchange>& exchange, HTTPRequest request);
    void adopt(const std::shared_ptr<Exchange>& exchange, const HTTPRequest& request);
    void sweep();

    const Options options_;
    const std::shared_ptr<dispatch::SerialQueue> queue_;
    const std::shared_ptr<dispatch::ConcurrentQueue> work_;
    ConnectionRoster roster_;

    mutable std::mutex stateMutex_;
    std::shared_ptr<net::Listener> listener_;
    std::unique_ptr<mdns::Advertisement> advertisement_;
    std::unique_ptr<dispatch::DispatchTimer> sweeper_;
    std::atomic<std::uint16_t> port_{0};  // written under stateMutex_; read without it by every health check
    bool bindFailed_ = false;
    std::optional<std::string> bindError_;

    mutable std::mutex socketsMutex_;
    std::unordered_map<const WebSocket*, std::shared_ptr<WebSocket>> sockets_;
};

}  // namespace veltrane::deck
