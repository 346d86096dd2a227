// A Control Deck HTTP server with only the health route, for load tests
// against a peer (bench/http_vs_nginx.sh). Prints the bound port, then serves
// on 127.0.0.1 until its standard input closes.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>

#include "ControlDeckCore/server/HTTPServer.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane::deck;

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
    auto server = HTTPServer::create();
    const Json health = {{"name", "Bench Deck"},
                         {"serverId", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
                         {"port", port},
                         {"pairing", false}};
    server->handler = [health](const HTTPRequest& request) {
        if (request.method == "OPTIONS") return HTTPResponse{204, {}, {}};
        if (request.method == "GET" && request.path == "/api/health") return HTTPResponse::ok(health);
        return HTTPResponse::err(DeckError::notFound());
    };
    std::promise<std::uint16_t> ready;
    server->onReady = [&ready](std::uint16_t bound) { ready.set_value(bound); };
    server->start(port, std::nullopt, true, std::nullopt);
    const std::uint16_t bound = ready.get_future().get();
    if (bound == 0) {
        std::cerr << "could not bind: " << server->bindError().value_or("?") << "\n";
        return 1;
    }
    std::cout << bound << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server->stop();
    return 0;
}
