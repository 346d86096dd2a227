// Answers whose body is an open file, over real loopback sockets: the same
// bytes on the wire as an in-memory body, and a peer that stops reading is
// closed once nothing has moved for the deadline, not before.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "tests/ControlDeckCore/server/http/ServerRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane;
using namespace veltrane::deck;
using namespace std::chrono_literals;
using veltrane::testing::eventually;
using veltrane::testing::LoopbackSocket;
using veltrane::testing::openDescriptorCount;
using veltrane::testing::ServerRig;

namespace {

constexpr std::size_t kMiB = 1 << 20;

const std::map<std::string, std::string> kHeaders = {
    {"Content-Type", "application/octet-stream"},
    {"Content-Disposition", "attachment; filename=\"f.bin\"; filename*=UTF-8''f.bin"},
    {"Cache-Control", "no-store"},
};

// Answers every request with `path` opened afresh, as a download does.
void serveFile(HTTPServer& server, const std::filesystem::path& path) {
    server.handler = [path](const HTTPRequest&) {
        auto descriptor = std::make_shared<const sys::FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        const auto size = static_cast<std::uint64_t>(std::filesystem::file_size(path));
        return HTTPResponse::streamed(kHeaders, FileBody{std::move(descriptor), size});
    };
}

}  // namespace

TEST(HTTPServerFileBody, IsWrittenExactlyAsTheSameBodyInMemory) {
    veltrane::testing::TempDirectory temp;
    ServerRig rig;
    ASSERT_NE(rig.start(), 0);
    // Empty, one byte, and larger than any socket buffer.
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, 24 * kMiB + 7}) {
        SCOPED_TRACE(size);
        const std::string content = veltrane::testing::patternBytes(size, 11);
        const auto path = temp.path() / ("f" + std::to_string(size));
        veltrane::testing::writeFile(path, content);
        serveFile(*rig.server, path);
        auto raw = veltrane::testing::exchange(rig.port, "GET /f HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(raw.has_value());
        EXPECT_TRUE(*raw == HTTPServer::responseBytes(HTTPResponse{200, kHeaders, content}))
            << raw->substr(0, raw->find("\r\n\r\n"));
    }
}

TEST(HTTPServerFileBody, APeerThatStopsReadingIsClosedOnceNothingMovesForTheDeadline) {
    veltrane::testing::TempDirectory temp;
    const auto path = temp.path() / "big.bin";
    {
        veltrane::testing::writeFile(path, "");
        std::filesystem::resize_file(path, 256 * kMiB);  // sparse: no disk needed
    }
    auto options = ServerRig::options();
    // Long enough that a test thread the machine does not schedule for a
    // while (sanitizers, parallel tests) is not taken for a stalled reader.
    options.requestDeadline = 3s;
    ServerRig rig(options);
    serveFile(*rig.server, path);
    ASSERT_NE(rig.start(), 0);
    // Each network thread sets up its poller with its first connection.
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(veltrane::testing::exchange(rig.port, "GET /api/health HTTP/1.1\r\n\r\n"));
    const std::size_t baseline = veltrane::testing::settledDescriptorCount();

    auto client = LoopbackSocket::connect(rig.port);
    ASSERT_TRUE(client.sendAll("GET /f HTTP/1.1\r\n\r\n"));
    auto head = client.readHead();
    ASSERT_TRUE(head.has_value());
    EXPECT_NE(head->find("\r\nContent-Length: 268435456\r\n"), std::string::npos) << *head;
    // A slow reader that keeps reading outlasts the deadline several times over.
    // It reads often: the server sees progress only when the socket's buffer
    // has room again, so long pauses would look like a stall on a busy machine.
    std::size_t received = 0;
    for (int i = 0; i < 128; ++i) {
        auto piece = client.readExactly(kMiB / 4);
        ASSERT_TRUE(piece.has_value()) << received;
        received += piece->size();
        // The client, the server's side and the file.
        ASSERT_EQ(openDescriptorCount(), baseline + 3) << "closed while still reading, after " << received;
        std::this_thread::sleep_for(60ms);
    }
    // Then it stops: its connection and the file are let go.
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == baseline + 1; }, 20s))
        << openDescriptorCount() << " descriptors, " << baseline << " before the client";
    auto rest = client.readToEnd();
    ASSERT_TRUE(rest.has_value());
    EXPECT_LT(received + rest->size(), 256 * kMiB) << "the answer was cut, not completed";
    client.close();
    EXPECT_EQ(openDescriptorCount(), baseline);
}
