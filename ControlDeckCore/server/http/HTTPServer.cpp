#include "ControlDeckCore/server/http/HTTPServer.h"

#include <algorithm>

#include "ControlDeckCore/server/http/HTTPText.h"
#include "platform/mdns/AvahiAdvertisement.h"
#include "platform/net/Listener.h"
#include "platform/system/ProcessSetup.h"

namespace veltrane::deck {

namespace {
constexpr const char* kLoopbackAddress = "127.0.0.1";
constexpr auto kLongestSweepInterval = std::chrono::seconds(1);
}  // namespace

// One connection until it is answered or upgraded.
struct HTTPServer::Exchange {
    explicit Exchange(std::shared_ptr<net::Connection> connection) : connection(std::move(connection)) {}
    std::shared_ptr<net::Connection> connection;
    std::string buffer;
    ConnectionRoster::Id id = 0;
};

std::shared_ptr<HTTPServer> HTTPServer::create(Options options) {
    if (!options.advertise) options.advertise = mdns::advertiseWithAvahi;
    return std::shared_ptr<HTTPServer>(new HTTPServer(std::move(options)));
}

std::size_t HTTPServer::connectionCapacity(std::size_t wanted, std::optional<std::size_t> descriptorLimit) {
    if (!descriptorLimit) return wanted;
    const std::size_t limit = *descriptorLimit;
    // A small limit still leaves half of it to connections.
    const std::size_t room = limit > 2 * kDescriptorReserve ? limit - kDescriptorReserve : limit / 2;
    return std::max<std::size_t>(1, std::min(wanted, room));
}

HTTPServer::HTTPServer(Options options)
    : options_(std::move(options)),
      queue_(dispatch::SerialQueue::create("deck.http")),
      work_(dispatch::ConcurrentQueue::create("deck.http.work", options_.workThreads)),
      roster_(connectionCapacity(options_.maxConnections, sys::descriptorLimit())) {
    handler = [](const HTTPRequest&) { return HTTPResponse::text(404, "not found"); };
}

HTTPServer::~HTTPServer() {
    if (listener_) listener_->cancel();
    if (sweeper_) sweeper_->cancel();
    // Nothing would end the connections still waiting on their peers.
    for (auto& cancel : roster_.removeAll()) cancel();
}

void HTTPServer::start(std::uint16_t port, std::optional<std::string> advertiseName, bool loopbackOnly,
                       std::optional<std::string> serverId) {
    {
        std::lock_guard lock(stateMutex_);
        port_ = 0;
        bindFailed_ = false;
        bindError_.reset();
    }
    auto listener = net::Listener::create(loopbackOnly ? kLoopbackAddress : options_.lanAddress, "deck.http.conn");

    std::optional<mdns::ServiceRecord> service;
    if (advertiseName && !loopbackOnly) {
        service = mdns::ServiceRecord{*advertiseName, kServiceType, 0, std::nullopt};
        if (serverId) service->txt = std::map<std::string, std::string>{{kServerIdKey, *serverId}};
    }

    std::shared_ptr<net::Listener> earlier;
    std::unique_ptr<mdns::Advertisement> earlierService;
    {
        std::lock_guard lock(stateMutex_);
        earlier = std::exchange(listener_, listener);
        earlierService = std::move(advertisement_);
        if (!sweeper_) {
            auto interval = std::min<dispatch::Duration>(kLongestSweepInterval, options_.requestDeadline / 2);
            sweeper_ = dispatch::DispatchTimer::create(*queue_, interval, interval / 4, [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->sweep();
            });
            sweeper_->start();
        }
    }
    // A listener left running would keep its port and accept for no one.
    if (earlier) earlier->cancel();
    earlierService.reset();

    queue_->async([weak = weak_from_this(), listener, port, service] {
        if (auto self = weak.lock()) self->listen(listener, port, service);
    });
}

void HTTPServer::listen(const std::shared_ptr<net::Listener>& listener, std::uint16_t port,
                        std::optional<mdns::ServiceRecord> service) {
    std::error_code error = listener->bind(port);
    std::uint16_t bound = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (listener_ != listener) return;  // stopped or restarted meanwhile
        if (error) {
            bindFailed_ = true;
            port_ = 0;
            bindError_ = error == std::errc::address_in_use ? std::string("address in use") : error.message();
        } else {
            bound = listener->port();
            port_ = bound;
            bindFailed_ = false;
            bindError_.reset();
        }
    }
    if (error) {
        if (auto ready = onReady.get()) (*ready)(0);
        return;
    }
    listener->start([weak = weak_from_this()](std::shared_ptr<net::Connection> connection) {
        if (auto self = weak.lock()) self->accept(std::move(connection));
    });
    if (auto ready = onReady.get()) (*ready)(bound);

    if (!service) return;
    service->port = bound;
    auto advertisement = options_.advertise(*service, [logger = options_.logger](const std::string& line) {
        logger.info(line);
    });
    std::lock_guard lock(stateMutex_);
    if (listener_ == listener) std::swap(advertisement_, advertisement);
}

void HTTPServer::stop() {
    std::shared_ptr<net::Listener> listener;
    std::unique_ptr<mdns::Advertisement> advertisement;
    {
        std::lock_guard lock(stateMutex_);
        listener = std::move(listener_);
        advertisement = std::move(advertisement_);
    }
    if (listener) listener->cancel();
    advertisement.reset();

    std::unordered_map<const WebSocket*, std::shared_ptr<WebSocket>> sockets;
    {
        std::lock_guard lock(socketsMutex_);
        sockets.swap(sockets_);
    }
    for (auto& entry : sockets) entry.second->close(WebSocket::kNormalClosure);
}

void HTTPServer::updateAdvertisedIdentity(std::string serverId) {
    queue_->async([weak = weak_from_this(), serverId = std::move(serverId)] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->stateMutex_);
        if (self->listener_ && self->advertisement_) self->advertisement_->updateTXT({{kServerIdKey, serverId}});
    });
}

std::uint16_t HTTPServer::port() const { return port_.load(std::memory_order_acquire); }

bool HTTPServer::bindFailed() const {
    std::lock_guard lock(stateMutex_);
    return bindFailed_;
}

std::optional<std::string> HTTPServer::bindError() const {
    std::lock_guard lock(stateMutex_);
    return bindError_;
}

std::size_t HTTPServer::clientCount() const {
    std::lock_guard lock(socketsMutex_);
    return sockets_.size();
}

void HTTPServer::accept(std::shared_ptr<net::Connection> connection) {
    auto exchange = std::make_shared<Exchange>(connection);
    std::weak_ptr<net::Connection> weakConnection = connection;
    auto admission = roster_.admit(
        [weakConnection] {
            if (auto c = weakConnection.lock()) c->cancel();
        },
        ConnectionRoster::Clock::now());
    for (auto& cancel : admission.evicted) cancel();
    if (!admission.id) {
        connection->cancel();
        return;
    }
    exchange->id = *admission.id;
    readHTTP(exchange);
}

void HTTPServer::readHTTP(const std::shared_ptr<Exchange>& exchange) {
    exchange->connection->receive(
        kReceiveChunk, [weak = weak_from_this(), exchange](std::string data, bool isComplete, std::error_code error) {
            if (auto self = weak.lock()) self->received(exchange, std::move(data), isComplete, error);
        });
}

void HTTPServer::received(const std::shared_ptr<Exchange>& exchange, std::string data, bool isComplete,
                          std::error_code error) {
    if (exchange->buffer.empty())
        exchange->buffer = std::move(data);
    else
        exchange->buffer += data;
    ParseResult result = parseRequest(exchange->buffer);
    switch (result.kind) {
    case ParseResult::Kind::incomplete:
        if (isComplete || error || exchange->buffer.size() > kMaxIncompleteBuffer) {
            exchange->connection->cancel();
            roster_.remove(exchange->id);
        } else {
            readHTTP(exchange);
        }
        return;
    case ParseResult::Kind::tooLarge:
        write(exchange, HTTPResponse::err(DeckError::tooLarge()));
        return;
    case ParseResult::Kind::request:
        route(exchange, std::move(result.request));
        return;
    }
}

void HTTPServer::route(const std::shared_ptr<Exchange>& exchange, HTTPRequest request) {
    request.remoteHost = exchange->connection->remoteHost();
    if (request.method == "GET" && request.path == "/ws" && !request.headers.empty()) {
        auto upgradeHeader = request.headers.find("upgrade");
        if (upgradeHeader != request.headers.end() && http::lowercased(upgradeHeader->second) == "websocket") {
            upgrade(exchange, std::move(request));
            return;
        }
    }
    roster_.setPhase(exchange->id, ConnectionRoster::Phase::handling);
    if (request.method == "OPTIONS" || (request.method == "GET" && request.path == "/api/health")) {
        // Pre-flights and the health check never wait behind busy handlers.
        write(exchange, respond(request));
        return;
    }
    if (auto place = handlerQueue.get()) {
        if (Placement placement = (*place)(request); placement.queue) {
            // The queue is held only while the answer is made; the bytes go out after.
            std::optional<HTTPResponse> answer;
            if (placement.brief && placement.queue->runIfIdle([&] { answer = respond(request); })) {
                write(exchange, answer);
                return;
            }
            auto queued = [weak = weak_from_this(), exchange, request = std::move(request)] {
                if (auto self = weak.lock())
                    self->write(exchange, self->respond(request));
                else
                    exchange->connection->cancel();
            };
            if (placement.brief)
                placement.queue->asyncBrief(std::move(queued));
            else
                placement.queue->async(std::move(queued));
            return;
        }
    }
    work_->async([weak = weak_from_this(), exchange, request = std::move(request)] {
        auto self = weak.lock();
        if (!self) return;
        auto response = self->respond(request);
        exchange->connection->queue()->async([weak, exchange, response = std::move(response)] {
            if (auto self = weak.lock()) self->write(exchange, response);
        });
    });
}

std::optional<HTTPResponse> HTTPServer::respond(const HTTPRequest& request) {
    auto current = handler.get();
    if (!current) return HTTPResponse::text(404, "not found");
    try {
        return (*current)(request);
    } catch (const std::exception& e) {
        options_.logger.info(std::string("request handler failed: ") + e.what());
    } catch (...) {
        options_.logger.info("request handler failed");
    }
    return std::nullopt;
}

void HTTPServer::write(const std::shared_ptr<Exchange>& exchange, const std::optional<HTTPResponse>& response) {
    if (!response) {
        finished(exchange);
        return;
    }
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    // One request per connection, whatever became of the answer.
    auto done = [weak, exchange](std::error_code) {
        if (auto self = weak.lock())
            self->finished(exchange);
        else
            exchange->connection->cancel();
    };
    if (!response->file) {
        roster_.setPhase(exchange->id, ConnectionRoster::Phase::writing);
        exchange->connection->send(responseBytes(*response), std::move(done));
        return;
    }
    // A file goes out as the peer reads it, however long that takes, as
    // long as some of it keeps moving within the deadline.
    roster_.progressed(exchange->id, ConnectionRoster::Clock::now());
    exchange->connection->send(responseBytes(*response), nullptr);
    exchange->connection->sendFile(response->file->descriptor, 0, response->file->size, std::move(done),
                                   [weak, id = exchange->id] {
                                       if (auto self = weak.lock())
                                           self->roster_.progressed(id, ConnectionRoster::Clock::now());
                                   });
}

void HTTPServer::finished(const std::shared_ptr<Exchange>& exchange) {
    exchange->connection->cancel();
    roster_.remove(exchange->id);
}

void HTTPServer::upgrade(const std::shared_ptr<Exchange>& exchange, HTTPRequest request) {
    auto key = request.headers.find("sec-websocket-key");
    if (key == request.headers.end()) {
        write(exchange, HTTPResponse::text(400, "missing websocket key"));
        return;
    }
    roster_.remove(exchange->id);  // from here on the socket table has it
    std::string head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: " +
                       acceptKey(key->second) + "\r\n\r\n";
    exchange->connection->send(std::move(head),
                               [weak = weak_from_this(), exchange, request = std::move(request)](std::error_code) {
                                   if (auto self = weak.lock()) self->adopt(exchange, request);
                               });
}

void HTTPServer::adopt(const std::shared_ptr<Exchange>& exchange, const HTTPRequest& request) {
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    auto socket = WebSocket::create(
        exchange->connection,
        [weak](WebSocket* closed) {
            if (auto self = weak.lock()) {
                self->queue_->async([weak, closed] {
                    auto self = weak.lock();
                    if (!self) return;
                    std::shared_ptr<WebSocket> released;  // let go outside the lock
                    std::lock_guard lock(self->socketsMutex_);
                    if (auto it = self->sockets_.find(closed); it != self->sockets_.end()) {
                        released = std::move(it->second);
                        self->sockets_.erase(it);
                    }
                });
            }
        },
        options_.webSocketLimits);
    queue_->async([weak, socket] {
        auto self = weak.lock();
        if (!self) return;
        bool listening;
        {
            std::lock_guard lock(self->stateMutex_);
            listening = self->listener_ != nullptr;
        }
        if (!listening) {
            // Upgraded while the server stopped: stop() has closed the others.
            socket->close(WebSocket::kNormalClosure);
            return;
        }
        std::lock_guard lock(self->socketsMutex_);
        self->sockets_[socket.get()] = socket;
    });
    socket->start(std::move(exchange->buffer));
    if (auto handle = wsHandler.get()) (*handle)(request, socket);
}

void HTTPServer::sweep() {
    for (auto& cancel : roster_.expire(ConnectionRoster::Clock::now(), options_.requestDeadline)) cancel();
}

}  // namespace veltrane::deck
