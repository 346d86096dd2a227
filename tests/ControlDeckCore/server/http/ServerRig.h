#pragma once
// A loopback HTTPServer for tests, with helpers to read raw answers.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/server/http/HTTPServer.h"

namespace veltrane::testing {

// Records what the server asked to advertise instead of talking to a daemon.
struct AdvertiserLog {
    struct Event {
        std::string name;
        std::uint16_t port = 0;
        std::optional<std::map<std::string, std::string>> txt;
    };
    std::mutex mutex;
    std::vector<Event> events;
    std::size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

class ServerRig {
public:
    static deck::HTTPServer::Options options() {
        deck::HTTPServer::Options options;
        options.lanAddress = "127.0.0.1";  // tests never listen beyond loopback
        options.logger = deck::DeckLogger([](const std::string& line) {
            std::lock_guard lock(log().mutex);
            log().lines.push_back(line);
        });
        return options;
    }
    struct CapturedLog {
        std::mutex mutex;
        std::vector<std::string> lines;
        std::vector<std::string> all() {
            std::lock_guard lock(mutex);
            return lines;
        }
    };
    static CapturedLog& log() {
        static CapturedLog captured;
        return captured;
    }

    explicit ServerRig(deck::HTTPServer::Options options = ServerRig::options())
        : server(deck::HTTPServer::create(std::move(options))) {}
    ~ServerRig() { server->stop(); }

    // Starts and waits for onReady; returns the port it reported.
    std::uint16_t start(std::uint16_t port = 0, std::optional<std::string> name = std::nullopt,
                        bool loopbackOnly = true, std::optional<std::string> serverId = std::nullopt) {
        auto ready = std::make_shared<std::promise<std::uint16_t>>();
        server->onReady = [ready](std::uint16_t bound) { ready->set_value(bound); };
        server->start(port, std::move(name), loopbackOnly, std::move(serverId));
        auto future = ready->get_future();
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "onReady never came";
            return 0;
        }
        this->port = future.get();
        return this->port;
    }

    std::shared_ptr<deck::HTTPServer> server;
    std::uint16_t port = 0;
};

// The runtime's side of the socket table: holds each socket until its own
// onClose, echoes text, and closes with 4001 on "bye". Callbacks share its
// state, so a close that comes after a test's body is harmless.
struct RuntimeClients {
    struct State {
        std::mutex mutex;
        std::map<const deck::WebSocket*, std::shared_ptr<deck::WebSocket>> table;
        std::atomic<int> closed{0};
    };
    void install(deck::HTTPServer& server) {
        server.wsHandler = [state = state](const deck::HTTPRequest&, std::shared_ptr<deck::WebSocket> socket) {
            std::weak_ptr<deck::WebSocket> weak = socket;
            socket->onText = [weak](const std::string& text) {
                auto s = weak.lock();
                if (!s) return;
                if (text == "bye")
                    s->close(4001);
                else
                    s->send(text);
            };
            socket->onClose = [weakState = std::weak_ptr<State>(state), key = socket.get()] {
                auto state = weakState.lock();
                if (!state) return;
                std::shared_ptr<deck::WebSocket> gone;  // let go outside the lock
                std::lock_guard lock(state->mutex);
                if (auto it = state->table.find(key); it != state->table.end()) {
                    gone = std::move(it->second);
                    state->table.erase(it);
                }
                ++state->closed;
            };
            std::lock_guard lock(state->mutex);
            state->table[socket.get()] = socket;
        };
    }
    std::size_t size() {
        std::lock_guard lock(state->mutex);
        return state->table.size();
    }
    int closed() const { return state->closed; }
    std::shared_ptr<State> state = std::make_shared<State>();
};

struct RawResponse {
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names as written
    std::string body;
};

inline std::optional<RawResponse> parseResponse(const std::string& raw) {
    auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return std::nullopt;
    RawResponse response;
    std::size_t lineEnd = raw.find("\r\n");
    response.statusLine = raw.substr(0, lineEnd);
    for (std::size_t at = lineEnd + 2; at < headEnd;) {
        std::size_t next = raw.find("\r\n", at);
        std::string line = raw.substr(at, next - at);
        auto colon = line.find(": ");
        if (colon == std::string::npos) return std::nullopt;
        if (!response.headers.emplace(line.substr(0, colon), line.substr(colon + 2)).second) return std::nullopt;
        at = next + 2;
    }
    response.body = raw.substr(headEnd + 4);
    return response;
}

}  // namespace veltrane::testing
