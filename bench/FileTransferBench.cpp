// One side of the file-transfer benchmark (bench/file_transfer.sh runs both):
//   upload <data> <source> <state>  pairs a tablet, uploads <source> in
//          1 MiB chunks over loopback HTTP, offers the received file for
//          download and writes the tablet's credentials to <state>;
//   serve  <data> <state>           opens a session with them, prints
//          "READY <port> <session> <outbox id>" and serves downloads until
//          SIGTERM or SIGINT.
// The upload prints its transfer rate; the script measures the processes'
// memory and the download rates around them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane::deck;

namespace {

constexpr std::size_t kChunk = 1 << 20;

struct Reply {
    int status = 0;
    std::string body;
};

// One request on its own connection, and its answer.
Reply exchange(std::uint16_t port, const std::string& method, const std::string& target, std::string_view body,
               const std::string& session) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("connect");
    }
    std::string head = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n";
    if (!session.empty()) head += "Authorization: Bearer " + session + "\r\n";
    head += "\r\n";
    for (std::string_view part : {std::string_view(head), body}) {
        while (!part.empty()) {
            ssize_t n = ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send");
            part.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    Reply reply;
    std::string pending;
    bool inBody = false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) throw std::runtime_error("recv");
        if (n == 0) break;
        std::string_view got(buffer.data(), static_cast<std::size_t>(n));
        if (!inBody) {
            pending.append(got);
            std::size_t end = pending.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            reply.status = std::atoi(pending.c_str() + pending.find(' ') + 1);
            got = std::string_view(pending).substr(end + 4);
            inBody = true;
        }
        reply.body.append(got);
    }
    ::close(fd);
    return reply;
}

Json data(const Reply& reply) {
    auto json = JSON::parse(reply.body);
    if (reply.status != 200 || !json) throw std::runtime_error("request failed: " + reply.body);
    return (*json)["data"];
}

std::shared_ptr<DeckRuntime> startRuntime(const std::string& directory) {
    RuntimeOptions options;
    options.port = 0;
    options.dataDirectory = directory;
    options.useFakeAdapters = true;
    options.autoApprovePairing = true;
    options.bindLoopbackOnly = true;
    options.deviceName = "Bench";
    auto runtime = DeckRuntime::create(options);
    runtime->start();
    return runtime;
}

std::string openSession(std::uint16_t port, const std::string& deviceId, const std::string& token) {
    return data(exchange(port, "POST", "/api/session",
                         JSON::text(Json{{"deviceId", deviceId}, {"deviceToken", token}}), ""))["session"];
}

double megabytesPerSecond(std::size_t bytes, std::chrono::steady_clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

int upload(const std::string& directory, const std::string& source, const std::string& state) {
    auto runtime = startRuntime(directory);
    const std::uint16_t port = runtime->port();
    Json paired = data(exchange(port, "POST", "/api/pairing/request",
                                JSON::text(Json{{"code", runtime->beginPairing().code}, {"deviceName", "Bench"}}), ""));
    const std::string deviceId = paired["deviceId"], token = paired["deviceToken"];
    const std::string session = openSession(port, deviceId, token);

    std::ifstream in(source, std::ios::binary | std::ios::ate);
    const auto size = static_cast<std::size_t>(in.tellg());
    in.seekg(0);
    std::string chunk(kChunk, '\0');
    const auto began = std::chrono::steady_clock::now();
    const std::string id =
        data(exchange(port, "POST", "/api/files/inbox", JSON::text(Json{{"name", "bench.bin"}, {"size", size}}),
                      session))["id"];
    for (std::size_t offset = 0; offset < size; offset += kChunk) {
        in.read(chunk.data(), static_cast<std::streamsize>(std::min(kChunk, size - offset)));
        data(exchange(port, "PUT", "/api/files/inbox/" + id + "?offset=" + std::to_string(offset),
                      std::string_view(chunk).substr(0, static_cast<std::size_t>(in.gcount())), session));
    }
    const std::string name = data(exchange(port, "POST", "/api/files/inbox/" + id + "/complete", "", session))["name"];
    const auto elapsed = std::chrono::steady_clock::now() - began;
    std::printf("upload   %8.1f MB/s  (%zu bytes in %zu chunks)\n", megabytesPerSecond(size, elapsed), size,
                (size + kChunk - 1) / kChunk);

    runtime->addOutboxFiles({std::filesystem::path(directory) / "inbox" / name});
    std::ofstream(state) << deviceId << "\n" << token << "\n";
    runtime->stop();
    return 0;
}

int serve(const std::string& directory, const std::string& state) {
    std::string deviceId, token;
    std::ifstream(state) >> deviceId >> token;
    auto runtime = startRuntime(directory);
    const std::uint16_t port = runtime->port();
    const std::string session = openSession(port, deviceId, token);
    const std::string id = data(exchange(port, "GET", "/api/files", "", session))["outbox"][0]["id"];
    std::printf("READY %u %s %s\n", static_cast<unsigned>(port), session.c_str(), id.c_str());
    std::fflush(stdout);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    int signal = 0;
    sigwait(&stop, &signal);
    runtime->stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    veltrane::sys::ignoreSigpipe();
    // Every thread started from here on leaves the stop signals to sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 4 && args[0] == "upload") return upload(args[1], args[2], args[3]);
        if (args.size() == 3 && args[0] == "serve") return serve(args[1], args[2]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_file_transfer: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: bench_file_transfer upload <data> <source> <state>\n"
                         "       bench_file_transfer serve <data> <state>\n");
    return 2;
}
