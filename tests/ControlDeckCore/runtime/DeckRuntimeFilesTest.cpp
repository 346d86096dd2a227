#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "ControlDeckCore/adapters/FakeFileManager.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"
#include "tests/ControlDeckCore/server/http/ServerRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/SmallDisk.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::deck::testing {
namespace {

using ::testing::HasSubstr;
using veltrane::testing::patternBytes;
using veltrane::testing::readFile;
using veltrane::testing::writeFile;

constexpr std::size_t kMiB = 1 << 20;

class FileRoutes : public RuntimeFixture {
protected:
    void SetUp() override { begin(optionsFor(data.path())); }

    void begin(RuntimeOptions options) {
        runtime = DeckRuntime::create(std::move(options), adapters);
        runtime->setOnStateChange([this](const DeckState&) { ++stateChanges; });
        runtime->setOnLog([this](const std::string& line) {
            std::lock_guard lock(logLock);
            log += line + "\n";
        });
        runtime->start();
        pair();
        stateChanges = 0;
    }

    std::filesystem::path inbox() const { return data.path() / "inbox"; }

    Json startUpload(const std::string& name, std::size_t size) {
        HTTPReply started = authed("POST", "/api/files/inbox",
                                   JSON::text(Json{{"name", name}, {"size", size}, {"mime", "text/plain"}}));
        EXPECT_EQ(started.status, 200) << started.body;
        return body(started)["data"];
    }
    HTTPReply chunk(const std::string& id, std::size_t offset, std::string_view bytes) {
        return authed("PUT", "/api/files/inbox/" + id + "?offset=" + std::to_string(offset), std::string(bytes));
    }
    // Uploads `bytes` in `chunks` requests and completes; the completion's record.
    Json upload(const std::string& name, const std::string& bytes, std::size_t chunks) {
        const std::string id = startUpload(name, bytes.size())["id"];
        const std::size_t step = (bytes.size() + chunks - 1) / chunks;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            HTTPReply reply = chunk(id, at, std::string_view(bytes).substr(at, step));
            EXPECT_EQ(reply.status, 200) << reply.body;
            EXPECT_EQ(body(reply)["data"], Json({{"id", id}, {"received", std::min(at + step, bytes.size())}}));
        }
        HTTPReply done = authed("POST", "/api/files/inbox/" + id + "/complete");
        EXPECT_EQ(done.status, 200) << done.body;
        return body(done)["data"];
    }
    std::filesystem::path offered(const std::string& name, const std::string& bytes) {
        std::filesystem::create_directories(desktop.path());
        writeFile(desktop.path() / name, bytes);
        return desktop.path() / name;
    }
    void switchFileTransfer(bool on) {
        DeckSettings settings = runtime->settings();
        settings.fileTransferEnabled = on;
        runtime->updateSettings(settings);
        stateChanges = 0;
    }

    veltrane::testing::TempDirectory desktop;
    std::atomic<int> stateChanges{0};
    std::mutex logLock;
    std::string log;
};

TEST_F(FileRoutes, ChunkedUploadsArriveByteIdenticalUnderSafeNames) {
    const std::string bytes = patternBytes(2 * kMiB + 12345, 1);
    Json first = upload("../x:y.txt", bytes, 3);
    EXPECT_EQ(first["name"], "x-y.txt");
    EXPECT_EQ(first["size"], bytes.size());
    EXPECT_EQ(first["mime"], "text/plain");
    EXPECT_EQ(readFile(inbox() / "x-y.txt"), bytes);
    EXPECT_EQ(stateChanges.load(), 1);  // only the completion pushes the state

    const std::string other = patternBytes(1000, 2);
    EXPECT_EQ(upload("../x:y.txt", other, 3)["name"], "x-y 2.txt");
    EXPECT_EQ(readFile(inbox() / "x-y 2.txt"), other);
    EXPECT_EQ(readFile(inbox() / "x-y.txt"), bytes);

    Json files = body(authed("GET", "/api/files"))["data"];
    EXPECT_EQ(files["enabled"], true);
    EXPECT_EQ(files["inboxDir"], inbox().string());
    ASSERT_EQ(files["inbox"].size(), 2u);
    EXPECT_EQ(files["inbox"][0]["name"], "x-y 2.txt");
    EXPECT_EQ(files["inbox"][1], first);
    EXPECT_EQ(body(authed("GET", "/api/state"))["data"]["files"], files);
}

TEST_F(FileRoutes, UploadLimitsAndOffsets) {
    const std::string id = startUpload("a.bin", 2 * kMiB)["id"];
    expectError(chunk(id, 1, "x"), 409, "conflict", "Upload chunk offset does not match.");
    expectError(authed("PUT", "/api/files/inbox/" + id, "x"), 409, "conflict", "Upload chunk offset does not match.");
    expectError(chunk(id, 0, std::string(kMiB + 1, 'x')), 413, "payload_too_large",
                "That file is larger than the 256 MB limit.");
    EXPECT_EQ(chunk(id, 0, std::string(kMiB, 'x')).status, 200);
    expectError(chunk(id, 0, "x"), 409, "conflict", "Upload chunk offset does not match.");
    expectError(chunk(id, kMiB, std::string(kMiB + 1, 'y')), 413, "payload_too_large",
                "That file is larger than the 256 MB limit.");
    expectError(authed("POST", "/api/files/inbox/" + id + "/complete"), 409, "conflict", "Upload is incomplete.");

    for (const std::string& start : {std::string(R"({"name":"big","size":268435457})"), std::string(R"({"name":"x"})"),
                                     std::string(R"({"name":"x","size":-5})")}) {
        SCOPED_TRACE(start);
        expectError(authed("POST", "/api/files/inbox", start), 413, "payload_too_large",
                    "That file is larger than the 256 MB limit.");
    }
    // The largest declared size is accepted; text sizes are read leniently.
    EXPECT_EQ(authed("POST", "/api/files/inbox", R"({"name":"big","size":"268435456"})").status, 200);
    Json bare = body(authed("POST", "/api/files/inbox", R"({"size":0,"name":7})"))["data"];
    EXPECT_EQ(bare["name"], "file");
    EXPECT_EQ(bare["mime"], "application/octet-stream");
    EXPECT_EQ(bare["size"], 0);
    EXPECT_EQ(bare["id"].get<std::string>().size(), 36u);
    EXPECT_EQ(authed("POST", "/api/files/inbox/" + bare["id"].get<std::string>() + "/complete").status, 200);

    expectError(authed("POST", "/api/files/inbox", "[]"), 400, "malformed_payload",
                "The request body is not a valid command.");
    expectError(authed("POST", "/api/files/inbox", "not json"), 422, "invalid_state",
                "The Mac could not complete that action.");
    EXPECT_EQ(stateChanges.load(), 1);
}

TEST_F(FileRoutes, CancelAndPathShapes) {
    const std::string id = startUpload("c.bin", 10)["id"];
    EXPECT_EQ(chunk(id, 0, "abc").status, 200);
    HTTPReply cancelled = authed("DELETE", "/api/files/inbox/" + id);
    EXPECT_EQ(body(cancelled)["data"], Json({{"id", id}, {"cancelled", true}}));
    expectError(chunk(id, 3, "d"), 404, "not_found", "Not found.");

    const std::string unknown = "00000000-0000-0000-0000-000000000000";
    struct Case {
        const char* method;
        std::string path;
    } cases[] = {
        {"DELETE", "/api/files/inbox/not-an-id"},
        {"DELETE", "/api/files/inbox/../../../../../../../../../etc/passwd"},
        {"PUT", "/api/files/inbox/" + unknown + "/complete"},
        {"POST", "/api/files/inbox/" + unknown},
        {"GET", "/api/files/inbox/" + unknown},
        {"POST", "/api/files/inbox/" + unknown + "/complete"},
        {"POST", "/api/files/inbox//complete"},
        {"GET", "/api/files/outbox/" + unknown},
        {"GET", "/api/files/outbox/" + unknown + "/x"},
        {"PUT", "/api/files/outbox/" + unknown},
        {"DELETE", "/api/files/outbox/" + unknown},
        {"DELETE", "/api/files/records/inbox"},
        {"DELETE", "/api/files/records/inbox/" + unknown + "/x"},
        {"DELETE", "/api/files/records/inbox/not-an-id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        expectError(authed(c.method, c.path), 404, "not_found", "Not found.");
    }
    expectError(authed("DELETE", "/api/files/records/sideways/" + unknown), 400, "malformed_payload",
                "The request body is not a valid command.");
    EXPECT_EQ(stateChanges.load(), 0);
}

TEST_F(FileRoutes, DownloadsNameTheFileSafely) {
    const std::string bytes = patternBytes(300'000, 3);
    std::vector<FileRecord> added =
        runtime->addOutboxFiles({offered("na\u00EFve \"q\".txt", bytes), offered("line\nfeed.bin", "lf")});
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(stateChanges.load(), 1);
    EXPECT_EQ(runtime->outboxFiles(), (std::vector<FileRecord>{added[1], added[0]}));

    HTTPReply download = authed("GET", "/api/files/outbox/" + added[0].id);
    EXPECT_EQ(download.status, 200);
    EXPECT_EQ(download.body, bytes);
    EXPECT_EQ(download.headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(download.headers["cache-control"], "no-store");
    EXPECT_EQ(download.headers["content-disposition"],
              "attachment; filename=\"na_ve _q_.txt\"; filename*=UTF-8''na%C3%AFve%20%22q%22.txt");

    // A line feed in the name never reaches the header block.
    veltrane::testing::LoopbackSocket socket = veltrane::testing::LoopbackSocket::connect(runtime->port());
    ASSERT_TRUE(socket.sendAll("GET /api/files/outbox/" + added[1].id + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                               "Authorization: Bearer " + tablet.session + "\r\n\r\n"));
    std::optional<std::string> raw = socket.readToEnd();
    ASSERT_TRUE(raw);
    const std::string head = raw->substr(0, raw->find("\r\n\r\n") + 2);
    EXPECT_THAT(head, HasSubstr("\r\nContent-Disposition: attachment; filename=\"line_feed.bin\"; "
                                "filename*=UTF-8''line%0Afeed.bin\r\n"));
    for (std::size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1))
        EXPECT_EQ(head[at - 1], '\r') << "a bare line feed in the header block";
    EXPECT_EQ(raw->substr(raw->size() - 2), "lf");

    HTTPReply removed = authed("DELETE", "/api/files/outbox/" + added[0].id);
    EXPECT_EQ(body(removed)["data"], Json({{"id", added[0].id}, {"removed", true}}));
    EXPECT_EQ(stateChanges.load(), 2);
    expectError(authed("GET", "/api/files/outbox/" + added[0].id), 404, "not_found", "Not found.");
    runtime->removeOutboxFile(added[1].id);
    EXPECT_EQ(stateChanges.load(), 3);
    EXPECT_TRUE(runtime->outboxFiles().empty());
    EXPECT_THROW(runtime->removeOutboxFile(added[1].id), DeckError);
    EXPECT_THROW(runtime->addOutboxFiles({offered("empty", "")}), DeckError);
    EXPECT_EQ(stateChanges.load(), 3);
}

TEST_F(FileRoutes, ADownloadGivesExactlyTheHeadersForEveryKindOfName) {
    struct Case {
        std::string offeredAs;
        std::string type;
        std::string disposition;
    };
    const Case cases[] = {
        {"plain.txt", "text/plain; charset=utf-8", "attachment; filename=\"plain.txt\"; filename*=UTF-8''plain.txt"},
        {"na\u00EFve \"q\".txt", "text/plain; charset=utf-8",
         "attachment; filename=\"na_ve _q_.txt\"; filename*=UTF-8''na%C3%AFve%20%22q%22.txt"},
        {"\u6587\u4EF6.pdf", "application/octet-stream",
         "attachment; filename=\"__.pdf\"; filename*=UTF-8''%E6%96%87%E4%BB%B6.pdf"},
        {"\U0001F3B5 song.MP3", "application/octet-stream",
         "attachment; filename=\"_ song.MP3\"; filename*=UTF-8''%F0%9F%8E%B5%20song.MP3"},
        {"a;b,c'd (1).json", "application/manifest+json",
         "attachment; filename=\"a;b,c'd (1).json\"; filename*=UTF-8''a%3Bb%2Cc%27d%20%281%29.json"},
        {"ok-._~!$&+.png", "image/png", "attachment; filename=\"ok-._~!$&+.png\"; filename*=UTF-8''ok-._~!$&+.png"},
        // Stored under its safe name, which is what the header carries.
        {"back\\slash.txt", "text/plain; charset=utf-8",
         "attachment; filename=\"back-slash.txt\"; filename*=UTF-8''back-slash.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offeredAs);
        const std::string bytes = patternBytes(70'000, 9);
        std::vector<FileRecord> added = runtime->addOutboxFiles({offered(c.offeredAs, bytes)});
        ASSERT_EQ(added.size(), 1u);
        veltrane::testing::LoopbackSocket socket = veltrane::testing::LoopbackSocket::connect(runtime->port());
        ASSERT_TRUE(socket.sendAll("GET /api/files/outbox/" + added[0].id + " HTTP/1.1\r\nAuthorization: Bearer " +
                                   tablet.session + "\r\n\r\n"));
        std::optional<std::string> raw = socket.readToEnd();
        ASSERT_TRUE(raw);
        auto reply = veltrane::testing::parseResponse(*raw);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(reply->headers, (std::map<std::string, std::string>{
                                      {"Content-Type", c.type},
                                      {"Content-Disposition", c.disposition},
                                      {"Cache-Control", "no-store"},
                                      {"Content-Length", "70000"},
                                      {"Connection", "close"},
                                      {"Access-Control-Allow-Origin", "*"},
                                      {"Access-Control-Allow-Headers", "Authorization, Content-Type, X-Deck-Session"},
                                      {"Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE, OPTIONS"},
                                  }));
        EXPECT_TRUE(reply->body == bytes);
    }
}

TEST_F(FileRoutes, ADownloadKeepsItsBytesWhenItsRecordGoesHalfway) {
    // Far more than the socket buffers hold, so the removal lands mid-send.
    const std::string bytes = patternBytes(32 * kMiB, 5);
    const std::function<void(const std::string& id)> removals[] = {
        [&](const std::string& id) { EXPECT_EQ(authed("DELETE", "/api/files/outbox/" + id).status, 200); },
        [&](const std::string&) { EXPECT_EQ(authed("DELETE", "/api/files/records").status, 200); },
        [&](const std::string& id) {
            // Gone, and a new file offered under the same name.
            runtime->removeOutboxFile(id);
            runtime->addOutboxFiles({offered("big.bin", patternBytes(kMiB, 6))});
        },
    };
    // Each network thread sets up its poller with its first connection.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(request("GET", "/api/health").status, 200);
    const std::size_t baseline = veltrane::testing::settledDescriptorCount();
    for (std::size_t i = 0; i < std::size(removals); ++i) {
        SCOPED_TRACE(i);
        std::vector<FileRecord> added = runtime->addOutboxFiles({offered("big.bin", bytes)});
        ASSERT_EQ(added.size(), 1u);
        veltrane::testing::LoopbackSocket socket = veltrane::testing::LoopbackSocket::connect(runtime->port());
        ASSERT_TRUE(socket.sendAll("GET /api/files/outbox/" + added[0].id + " HTTP/1.1\r\nAuthorization: Bearer " +
                                   tablet.session + "\r\n\r\n"));
        std::optional<std::string> head = socket.readHead();
        ASSERT_TRUE(head);
        EXPECT_THAT(*head, HasSubstr("\r\nContent-Length: 33554432\r\n"));
        std::optional<std::string> first = socket.readExactly(kMiB);
        ASSERT_TRUE(first);

        removals[i](added[0].id);
        EXPECT_FALSE(std::filesystem::exists(data.path() / "transfers/outbox" / added[0].id));

        std::optional<std::string> rest = socket.readToEnd();
        ASSERT_TRUE(rest);
        EXPECT_EQ(first->size() + rest->size(), bytes.size());
        EXPECT_TRUE(*first + *rest == bytes) << "the bytes changed under the download";
        authed("DELETE", "/api/files/records");
    }
    // Nothing stays open once the downloads are over.
    EXPECT_TRUE(veltrane::testing::eventually([&] { return veltrane::testing::openDescriptorCount() == baseline; }));
}

TEST_F(FileRoutes, SwitchedOffOnlyRecordsCanBeCleared) {
    Json received = upload("kept.txt", "k", 1);
    std::vector<FileRecord> offeredFiles = runtime->addOutboxFiles({offered("o1", "1"), offered("o2", "2")});
    const std::string pending = startUpload("p.bin", 5)["id"];
    switchFileTransfer(false);

    const std::string off = "File transfer is turned off in Veltrane Control Deck settings.";
    const std::string some = offeredFiles[0].id;
    struct Case {
        const char* method;
        std::string path;
        std::string body;
    } gated[] = {
        {"GET", "/api/files", ""},
        {"POST", "/api/files/inbox", R"({"name":"a","size":1})"},
        {"POST", "/api/files/reveal-inbox", ""},
        {"PUT", "/api/files/inbox/" + pending + "?offset=0", "x"},
        {"POST", "/api/files/inbox/" + pending + "/complete", ""},
        {"DELETE", "/api/files/inbox/" + pending, ""},
        {"DELETE", "/api/files/inbox/not-an-id", ""},
        {"GET", "/api/files/outbox/" + some, ""},
        {"DELETE", "/api/files/outbox/" + some, ""},
    };
    for (const Case& c : gated) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        expectError(authed(c.method, c.path, c.body), 409, "feature_disabled", off);
    }
    // Each gated route still asks for a session first.
    expectError(request("GET", "/api/files/outbox/" + some), 401, "unpaired", "This device is not paired.");

    EXPECT_EQ(body(authed("DELETE", "/api/files/records/outbox/" + some))["data"], Json({{"cleared", true}}));
    EXPECT_EQ(runtime->outboxFiles().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(data.path() / "transfers/outbox" / some));
    EXPECT_EQ(body(authed("DELETE", "/api/files/records/inbox/" + received["id"].get<std::string>()))["data"],
              Json({{"cleared", true}}));
    EXPECT_EQ(body(authed("DELETE", "/api/files/records"))["data"], Json({{"cleared", true}}));
    EXPECT_TRUE(runtime->outboxFiles().empty());
    EXPECT_EQ(stateChanges.load(), 3);
    EXPECT_EQ(readFile(inbox() / "kept.txt"), "k");

    switchFileTransfer(true);
    Json files = body(authed("GET", "/api/files"))["data"];
    EXPECT_EQ(files["inbox"], Json::array());
    EXPECT_EQ(files["outbox"], Json::array());
    // The upload that waited is still there to finish.
    EXPECT_EQ(chunk(pending, 0, "12345").status, 200);
    EXPECT_EQ(authed("POST", "/api/files/inbox/" + pending + "/complete").status, 200);
}

TEST_F(FileRoutes, RevealAnswersTheInboxPath) {
    std::filesystem::remove_all(inbox());
    EXPECT_EQ(body(authed("POST", "/api/files/reveal-inbox"))["data"], Json({{"path", inbox().string()}}));
    EXPECT_TRUE(std::filesystem::is_directory(inbox()));
}

// The adapter set's file manager is asked, never the desktop's own.
TEST_F(FileRoutes, RevealsGoToTheAdapterSetsFileManager) {
    auto manager = fake<FakeFileManager>();
    ASSERT_TRUE(manager);
    ASSERT_EQ(authed("POST", "/api/files/reveal-inbox").status, 200);
    EXPECT_EQ(manager->shownFolders(), std::vector<std::filesystem::path>{inbox()});
    EXPECT_TRUE(manager->shownFiles().empty());

    upload("seen.txt", "hello", 1);
    EXPECT_EQ(manager->shownFiles(), std::vector<std::filesystem::path>{inbox() / "seen.txt"});
}

// The data directory, and with the Fake adapters the inbox, on a 1 MiB disk.
class FileRoutesOnASmallDisk : public FileRoutes {
protected:
    void SetUp() override {}
    void TearDown() override {
        FileRoutes::TearDown();  // the runtime goes before its disk
        disk.reset();
    }
    std::unique_ptr<veltrane::testing::SmallDisk> disk = std::make_unique<veltrane::testing::SmallDisk>(kMiB);
};

TEST_F(FileRoutesOnASmallDisk, AFullDiskFailsTheChunkAndARetryCompletesTheFile) {
    if (!disk->mounted()) GTEST_SKIP() << disk->reason();
    begin(optionsFor(disk->path() / "data"));
    writeFile(disk->path() / "filler", std::string(disk->freeBytes() - 200 * 1024, 'f'));

    const std::string bytes = patternBytes(600 * 1024, 4);
    const std::size_t step = 64 * 1024;
    const std::string id = startUpload("big.bin", bytes.size())["id"];
    std::size_t accepted = 0;
    HTTPReply failed;
    while (accepted < bytes.size()) {
        HTTPReply reply = chunk(id, accepted, std::string_view(bytes).substr(accepted, step));
        if (reply.status != 200) {
            failed = reply;
            break;
        }
        accepted = body(reply)["data"]["received"];
    }
    ASSERT_NE(failed.status, 0) << "the disk never filled";
    expectError(failed, 422, "invalid_state", "The Mac could not complete that action.");
    {
        std::lock_guard lock(logLock);
        EXPECT_THAT(log, HasSubstr("handler error: writing "));
        EXPECT_THAT(log, HasSubstr("No space left on device"));
    }
    expectError(authed("POST", "/api/files/inbox/" + id + "/complete"), 409, "conflict", "Upload is incomplete.");

    std::filesystem::remove(disk->path() / "filler");
    while (accepted < bytes.size()) {
        HTTPReply reply = chunk(id, accepted, std::string_view(bytes).substr(accepted, step));
        ASSERT_EQ(reply.status, 200) << reply.body;
        accepted = body(reply)["data"]["received"];
    }
    Json done = body(authed("POST", "/api/files/inbox/" + id + "/complete"))["data"];
    EXPECT_EQ(readFile(disk->path() / "data/inbox" / done["name"].get<std::string>()), bytes);
}

}  // namespace
}  // namespace veltrane::deck::testing
