#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "tests/support/SmallDisk.h"
#include "tests/support/Files.h"
#include "tests/support/TempDirectory.h"

using veltrane::deck::Date;
using veltrane::deck::DeckError;
using veltrane::deck::FileRecord;
using veltrane::deck::FileTransferService;
using veltrane::deck::Json;
using veltrane::fs::TransferStorage;
using Path = std::filesystem::path;
using veltrane::testing::patternBytes;
using veltrane::testing::readDescriptor;
using veltrane::testing::readFile;
using veltrane::testing::writeFile;

namespace {

DeckError::Case errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DeckError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no DeckError";
    return DeckError::Case::invalidState;
}

std::string conflictMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const DeckError& error) {
        EXPECT_EQ(error.kind(), DeckError::Case::conflict);
        return error.message();
    }
    ADD_FAILURE() << "no DeckError";
    return {};
}

// The real file system, with failures on demand.
class FlakyStorage : public TransferStorage {
public:
    // The next chunk write stores only this many bytes, then fails as a full disk.
    std::optional<std::size_t> shortChunkWrite;
    // The next staging record write fails (after the chunk itself was written).
    bool failNextStagingRecord = false;

    void createDirectories(const Path& folder) override { real_->createDirectories(folder); }
    void writeWhole(const Path& file, std::string_view bytes) override {
        if (failNextStagingRecord && file.extension() == ".json" && file.parent_path().filename() == "staging") {
            failNextStagingRecord = false;
            throw std::system_error(ENOSPC, std::generic_category(), "writing " + file.string());
        }
        real_->writeWhole(file, bytes);
    }
    void writeAt(const Path& file, std::uint64_t offset, std::string_view bytes) override {
        if (shortChunkWrite) {
            std::size_t stored = std::min(*shortChunkWrite, bytes.size());
            shortChunkWrite.reset();
            real_->writeAt(file, offset, bytes.substr(0, stored));
            throw std::system_error(ENOSPC, std::generic_category(), "writing " + file.string());
        }
        real_->writeAt(file, offset, bytes);
    }
    std::optional<Item> inspect(const Path& path) override { return real_->inspect(path); }
    bool nameTaken(const Path& path) override { return real_->nameTaken(path); }
    std::optional<std::string> readWhole(const Path& file) override { return real_->readWhole(file); }
    std::optional<OpenFile> openRegular(const Path& file) override { return real_->openRegular(file); }
    bool moveWithoutReplacing(const Path& from, const Path& to) override {
        return real_->moveWithoutReplacing(from, to);
    }
    void copyFile(const Path& from, const Path& to) override { real_->copyFile(from, to); }
    bool removeAll(const Path& path) override { return real_->removeAll(path); }

private:
    std::shared_ptr<TransferStorage> real_ = TransferStorage::local();
};

class FileTransferServiceTest : public ::testing::Test {
protected:
    veltrane::testing::TempDirectory temp;
    Path data = temp.path() / "data";
    Path inbox = temp.path() / "Downloads" / "Veltrane Control Deck";
    std::vector<Path> revealedFolders, selectedFiles;

    std::unique_ptr<FileTransferService> make(std::shared_ptr<TransferStorage> storage = TransferStorage::local()) {
        FileTransferService::Reveal reveal{[this](const Path& p) { revealedFolders.push_back(p); },
                                           [this](const Path& p) { selectedFiles.push_back(p); }};
        return std::make_unique<FileTransferService>(data, inbox, std::move(storage), std::move(reveal));
    }

    // Sends `bytes` in `chunks` nearly equal chunks and completes.
    static FileRecord upload(FileTransferService& files, const std::string& name, const std::string& bytes,
                             std::size_t chunks = 3) {
        FileRecord started = files.startInbox(name, static_cast<std::int64_t>(bytes.size()), "text/plain");
        std::size_t step = chunks ? (bytes.size() + chunks - 1) / chunks : bytes.size();
        std::int64_t received = 0;
        for (std::size_t at = 0; at < bytes.size(); at += step)
            received = files.appendChunk(started.id, received, std::string_view(bytes).substr(at, step));
        return files.completeInbox(started.id);
    }

    Path offered(const std::string& name, const std::string& bytes) {
        Path dir = temp.path() / "desktop";
        std::filesystem::create_directories(dir);
        writeFile(dir / name, bytes);
        return dir / name;
    }
};

}  // namespace

TEST_F(FileTransferServiceTest, ChunkedUploadArrivesByteIdenticalUnderItsSafeName) {
    auto files = make();
    std::string bytes = patternBytes(100'001, 1);
    FileRecord record = upload(*files, "../x:y.txt", bytes);
    EXPECT_EQ(record.name, "x-y.txt");
    EXPECT_EQ(record.size, 100'001);
    EXPECT_EQ(record.mime, "text/plain");
    EXPECT_EQ(readFile(inbox / "x-y.txt"), bytes);
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/staging" / (record.id + ".part")));
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/staging" / (record.id + ".json")));

    FileRecord second = upload(*files, "../x:y.txt", patternBytes(10, 2));
    EXPECT_EQ(second.name, "x-y 2.txt");
    EXPECT_EQ(readFile(inbox / "x-y 2.txt"), patternBytes(10, 2));
    EXPECT_EQ(readFile(inbox / "x-y.txt"), bytes);  // the first stays as it was
    EXPECT_EQ(upload(*files, "notes", "a").name, "notes");
    EXPECT_EQ(upload(*files, "notes", "b").name, "notes 2");

    Json state = files->publicState();
    EXPECT_EQ(state["inboxDir"], inbox.string());
    ASSERT_EQ(state["inbox"].size(), 4u);
    EXPECT_EQ(state["inbox"][0]["name"], "notes 2");  // newest first
    EXPECT_EQ(state["inbox"][3]["name"], "x-y.txt");
    EXPECT_EQ(state["inbox"][3]["size"], 100'001);
    EXPECT_EQ(state["outbox"], Json::array());
}

TEST_F(FileTransferServiceTest, TakenNamesAreNeverReplaced) {
    auto files = make();
    std::filesystem::create_directories(inbox);
    writeFile(inbox / "a.txt", "mine");
    for (int n = 2; n <= 999; ++n) writeFile(inbox / ("a " + std::to_string(n) + ".txt"), "mine");
    FileRecord record = upload(*files, "a.txt", "new");
    // Every numbered alternative is taken: a fresh id goes in front.
    EXPECT_EQ(record.name.size(), 36 + 1 + 5);
    EXPECT_EQ(record.name.substr(36), "-a.txt");
    EXPECT_EQ(readFile(inbox / record.name), "new");
    EXPECT_EQ(readFile(inbox / "a.txt"), "mine");
    EXPECT_EQ(readFile(inbox / "a 999.txt"), "mine");
    // A dangling link holds its name too.
    std::filesystem::create_symlink(temp.path() / "nowhere", inbox / "link.txt");
    EXPECT_EQ(upload(*files, "link.txt", "x").name, "link 2.txt");
}

TEST_F(FileTransferServiceTest, StartChecksTheDeclaredSize) {
    auto files = make();
    EXPECT_EQ(errorOf([&] { files->startInbox("a", -1, std::nullopt); }), DeckError::Case::tooLarge);
    EXPECT_EQ(errorOf([&] { files->startInbox("a", FileTransferService::kMaxFileSize + 1, std::nullopt); }),
              DeckError::Case::tooLarge);
    FileRecord biggest = files->startInbox("big", FileTransferService::kMaxFileSize, " Video/MP4 ");
    EXPECT_EQ(biggest.mime, "video/mp4");
    EXPECT_EQ(biggest.id.size(), 36u);
    // An empty file completes at once.
    FileRecord empty = files->startInbox("empty.txt", 0, std::nullopt);
    EXPECT_EQ(empty.mime, "application/octet-stream");
    FileRecord done = files->completeInbox(empty.id);
    EXPECT_EQ(done.size, 0);
    EXPECT_EQ(readFile(inbox / "empty.txt"), "");
    // Starting touches no record.
    EXPECT_EQ(files->publicState()["inbox"].size(), 1u);
}

TEST_F(FileTransferServiceTest, ChunksMustFollowEachOtherExactly) {
    auto files = make();
    FileRecord r = files->startInbox("f.bin", 10, std::nullopt);
    const std::string mismatch = "Upload chunk offset does not match.";
    EXPECT_EQ(conflictMessage([&] { files->appendChunk(r.id, 1, "abc"); }), mismatch);   // must start at 0
    EXPECT_EQ(conflictMessage([&] { files->appendChunk(r.id, -1, "abc"); }), mismatch);  // no offset
    EXPECT_EQ(files->appendChunk(r.id, 0, "abcd"), 4);
    EXPECT_EQ(conflictMessage([&] { files->appendChunk(r.id, 0, "abcd"); }), mismatch);  // repeated
    EXPECT_EQ(conflictMessage([&] { files->appendChunk(r.id, 5, "x"); }), mismatch);     // skipped
    // Overshooting by one byte is malformed and leaves the staged bytes alone.
    EXPECT_EQ(errorOf([&] { files->appendChunk(r.id, 4, "efghijk"); }), DeckError::Case::malformedPayload);
    EXPECT_EQ(readFile(data / "transfers/staging" / (r.id + ".part")), "abcd");
    EXPECT_EQ(conflictMessage([&] { files->completeInbox(r.id); }), "Upload is incomplete.");
    EXPECT_EQ(files->appendChunk(r.id, 4, "efghij"), 10);
    EXPECT_EQ(readFile(inbox / files->completeInbox(r.id).name), "abcdefghij");
    // Completing twice finds no upload.
    EXPECT_EQ(errorOf([&] { files->completeInbox(r.id); }), DeckError::Case::notFound);
}

TEST_F(FileTransferServiceTest, OversizedChunksAndUnknownIdsAreRefused) {
    auto files = make();
    FileRecord r = files->startInbox("f.bin", FileTransferService::kMaxFileSize, std::nullopt);
    std::string tooBig(FileTransferService::kMaxChunkSize + 1, 'x');
    EXPECT_EQ(errorOf([&] { files->appendChunk(r.id, 0, tooBig); }), DeckError::Case::tooLarge);
    EXPECT_EQ(files->appendChunk(r.id, 0, std::string(FileTransferService::kMaxChunkSize, 'x')),
              static_cast<std::int64_t>(FileTransferService::kMaxChunkSize));

    const std::string unknown = "00000000-0000-0000-0000-000000000000";
    EXPECT_EQ(errorOf([&] { files->appendChunk(unknown, 0, "a"); }), DeckError::Case::notFound);
    EXPECT_EQ(errorOf([&] { files->completeInbox(unknown); }), DeckError::Case::notFound);
    // Ids that could leave the staging folder never reach the file system.
    const std::vector<std::string> escaping{"../../../../../../../../etc/passwd.x", "..", r.id + "/", "a/../" + r.id};
    for (const std::string& id : escaping) {
        EXPECT_EQ(errorOf([&] { files->appendChunk(id, 0, "a"); }), DeckError::Case::notFound) << id;
        EXPECT_EQ(errorOf([&] { files->completeInbox(id); }), DeckError::Case::notFound) << id;
        files->cancelInbox(id);  // ignored
    }
    // A staging record that does not decode counts as missing.
    writeFile(data / "transfers/staging" / (r.id + ".json"), "{\"id\":1}");
    EXPECT_EQ(errorOf([&] { files->appendChunk(r.id, 0, "a"); }), DeckError::Case::notFound);
}

TEST_F(FileTransferServiceTest, CancelRemovesTheStagedUpload) {
    auto files = make();
    FileRecord r = files->startInbox("f.bin", 10, std::nullopt);
    files->appendChunk(r.id, 0, "abc");
    files->cancelInbox(r.id);
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/staging" / (r.id + ".part")));
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/staging" / (r.id + ".json")));
    EXPECT_EQ(errorOf([&] { files->appendChunk(r.id, 3, "d"); }), DeckError::Case::notFound);
    files->cancelInbox(r.id);  // twice is fine
}

TEST_F(FileTransferServiceTest, ARetryAfterAShortWriteRepairsTheUpload) {
    auto storage = std::make_shared<FlakyStorage>();
    auto files = make(storage);
    std::string bytes = patternBytes(3000, 1);
    FileRecord r = files->startInbox("repaired.bin", 3000, std::nullopt);
    ASSERT_EQ(files->appendChunk(r.id, 0, std::string_view(bytes).substr(0, 1000)), 1000);

    // The disk fills part-way through the second chunk: stray bytes stay in the file.
    storage->shortChunkWrite = 300;
    EXPECT_THROW(files->appendChunk(r.id, 1000, std::string_view(bytes).substr(1000, 1000)), std::system_error);
    EXPECT_EQ(conflictMessage([&] { files->appendChunk(r.id, 1300, "x"); }), "Upload chunk offset does not match.");

    // The chunk is written but recording it fails: the client hears of a failure.
    storage->failNextStagingRecord = true;
    EXPECT_THROW(files->appendChunk(r.id, 1000, std::string_view(bytes).substr(1000, 1000)), std::system_error);

    // Retries from the last accepted offset put every byte where it belongs.
    EXPECT_EQ(files->appendChunk(r.id, 1000, std::string_view(bytes).substr(1000, 1000)), 2000);
    EXPECT_EQ(files->appendChunk(r.id, 2000, std::string_view(bytes).substr(2000)), 3000);
    EXPECT_EQ(readFile(inbox / files->completeInbox(r.id).name), bytes);
}

TEST_F(FileTransferServiceTest, AFullDiskFailsTheChunkAndARetryCompletesTheFile) {
    veltrane::testing::SmallDisk disk(512 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    data = disk.path() / "data";  // staging on the small disk; the inbox is on another file system
    auto files = make();

    // Leave room for about 100 KiB of upload.
    std::uint64_t filler = disk.freeBytes() - 100 * 1024;
    writeFile(disk.path() / "filler", std::string(filler, 'f'));

    std::string bytes = patternBytes(300 * 1024, 1);
    const std::size_t chunk = 32 * 1024;
    FileRecord r = files->startInbox("big.bin", static_cast<std::int64_t>(bytes.size()), std::nullopt);
    std::int64_t accepted = 0;
    std::string failure;
    while (static_cast<std::size_t>(accepted) < bytes.size()) {
        try {
            accepted = files->appendChunk(r.id, accepted, std::string_view(bytes).substr(accepted, chunk));
        } catch (const std::system_error& error) {
            failure = error.what();
            break;
        }
    }
    ASSERT_FALSE(failure.empty()) << "the disk never filled";
    EXPECT_NE(failure.find("No space left on device"), std::string::npos) << failure;
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(conflictMessage([&] { files->completeInbox(r.id); }), "Upload is incomplete.");

    std::filesystem::remove(disk.path() / "filler");
    while (static_cast<std::size_t>(accepted) < bytes.size())
        accepted = files->appendChunk(r.id, accepted, std::string_view(bytes).substr(accepted, chunk));
    FileRecord done = files->completeInbox(r.id);
    EXPECT_EQ(readFile(inbox / done.name), bytes);
    EXPECT_EQ(done.size, static_cast<std::int64_t>(bytes.size()));
}

TEST_F(FileTransferServiceTest, TheFortyFirstUploadPushesTheOldestRecordOutButNotItsFile) {
    auto files = make();
    for (int i = 1; i <= 41; ++i) upload(*files, "f" + std::to_string(i) + ".txt", std::to_string(i), 1);
    Json state = files->publicState();
    ASSERT_EQ(state["inbox"].size(), 40u);
    EXPECT_EQ(state["inbox"][0]["name"], "f41.txt");
    EXPECT_EQ(state["inbox"][39]["name"], "f2.txt");
    EXPECT_EQ(readFile(inbox / "f1.txt"), "1");
    // The index on disk agrees, and a new service reads it back.
    auto reloaded = make();
    EXPECT_EQ(reloaded->publicState(), state);
}

TEST_F(FileTransferServiceTest, OutboxOffersPrivateCopies) {
    auto files = make();
    Path source = offered("na\u00EFve \"q\".txt", "hello");
    std::filesystem::create_directories(temp.path() / "desktop/folder");
    std::vector<FileRecord> added = files->addOutbox(
        {source, temp.path() / "desktop/missing.txt", temp.path() / "desktop/folder", offered("b.png", "png")});
    ASSERT_EQ(added.size(), 2u);  // the missing file and the folder are skipped
    EXPECT_EQ(added[0].name, "na\u00EFve \"q\".txt");
    EXPECT_EQ(added[0].size, 5);
    EXPECT_EQ(added[0].mime, "text/plain; charset=utf-8");
    EXPECT_EQ(added[1].mime, "image/png");

    // The copy is served, not the original.
    writeFile(source, "changed");
    FileTransferService::OutboxFile file = files->outboxFile(added[0].id);
    EXPECT_EQ(readDescriptor(file.file.descriptor->get()), "hello");
    EXPECT_EQ(file.file.size, 5u);
    EXPECT_EQ(file.record, added[0]);
    EXPECT_EQ(file.url, data / "transfers/outbox" / added[0].id / added[0].name);

    Json state = files->publicState();
    ASSERT_EQ(state["outbox"].size(), 2u);
    EXPECT_EQ(state["outbox"][0]["id"], added[1].id);  // newest first

    files->removeOutbox(added[0].id);
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/outbox" / added[0].id));
    EXPECT_EQ(errorOf([&] { files->outboxFile(added[0].id); }), DeckError::Case::notFound);
    EXPECT_EQ(errorOf([&] { files->removeOutbox(added[0].id); }), DeckError::Case::notFound);
    EXPECT_EQ(errorOf([&] { files->removeOutbox("../outbox"); }), DeckError::Case::notFound);
    EXPECT_EQ(files->outboxRecords().size(), 1u);
    EXPECT_EQ(readFile(source), "changed");  // the original is never touched
}

TEST_F(FileTransferServiceTest, OutboxRefusesEmptyFilesAndKeepsWhatCameBefore) {
    auto files = make();
    EXPECT_EQ(errorOf([&] { files->addOutbox({offered("a.txt", "a"), offered("empty.txt", ""), offered("c", "c")}); }),
              DeckError::Case::tooLarge);
    std::vector<FileRecord> kept = files->outboxRecords();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].name, "a.txt");
    EXPECT_EQ(readDescriptor(files->outboxFile(kept[0].id).file.descriptor->get()), "a");
    // A copy whose file went missing is not found.
    std::filesystem::remove(data / "transfers/outbox" / kept[0].id / "a.txt");
    EXPECT_EQ(errorOf([&] { files->outboxFile(kept[0].id); }), DeckError::Case::notFound);
}

TEST_F(FileTransferServiceTest, OutboxKeepsFortyAndDeletesTheCopiesBeyond) {
    auto files = make();
    std::vector<Path> sources;
    for (int i = 0; i < 39; ++i) sources.push_back(offered("f" + std::to_string(i), "x"));
    std::vector<FileRecord> first = files->addOutbox(sources);
    ASSERT_EQ(first.size(), 39u);
    files->addOutbox({offered("g1", "y"), offered("g2", "y"), offered("g3", "y")});
    std::vector<FileRecord> kept = files->outboxRecords();
    ASSERT_EQ(kept.size(), 40u);
    EXPECT_EQ(kept[0].name, "g3");
    EXPECT_EQ(kept[39].name, "f2");
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/outbox" / first[0].id));
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/outbox" / first[1].id));
    EXPECT_TRUE(std::filesystem::exists(data / "transfers/outbox" / first[2].id / "f2"));
}

TEST_F(FileTransferServiceTest, ClearingRecordsByDirectionAndId) {
    auto files = make();
    FileRecord in1 = upload(*files, "in1.txt", "1");
    FileRecord in2 = upload(*files, "in2.txt", "2");
    std::vector<FileRecord> out = files->addOutbox({offered("o1", "1"), offered("o2", "2")});

    EXPECT_EQ(errorOf([&] { files->clearRecords("sideways", std::nullopt); }), DeckError::Case::malformedPayload);
    EXPECT_EQ(errorOf([&] { files->clearRecords("Inbox", std::nullopt); }), DeckError::Case::malformedPayload);
    EXPECT_EQ(errorOf([&] { files->clearRecords(std::nullopt, in1.id); }), DeckError::Case::notFound);
    EXPECT_EQ(errorOf([&] { files->clearRecords("inbox", "not-an-id"); }), DeckError::Case::notFound);

    // An id listed nowhere changes nothing.
    files->clearRecords("inbox", "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(files->publicState()["inbox"].size(), 2u);
    // One inbox record; its file stays.
    files->clearRecords("inbox", in1.id);
    Json state = files->publicState();
    ASSERT_EQ(state["inbox"].size(), 1u);
    EXPECT_EQ(state["inbox"][0]["id"], in2.id);
    EXPECT_TRUE(std::filesystem::exists(inbox / "in1.txt"));
    // An outbox id under "inbox" touches nothing.
    files->clearRecords("inbox", out[0].id);
    EXPECT_EQ(files->outboxRecords().size(), 2u);
    // One outbox record takes its copy with it.
    files->clearRecords("outbox", out[0].id);
    EXPECT_EQ(files->outboxRecords().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/outbox" / out[0].id));
    // Everything.
    files->clearRecords(std::nullopt, std::nullopt);
    state = files->publicState();
    EXPECT_EQ(state["inbox"], Json::array());
    EXPECT_EQ(state["outbox"], Json::array());
    EXPECT_FALSE(std::filesystem::exists(data / "transfers/outbox" / out[1].id));
    EXPECT_TRUE(std::filesystem::exists(inbox / "in2.txt"));
    EXPECT_EQ(make()->publicState(), state);
}

TEST_F(FileTransferServiceTest, AnUnreadableIndexStartsEmpty) {
    std::filesystem::create_directories(data / "transfers");
    for (std::string text : {"not json", "{\"inbox\":[]}", "{\"inbox\":[],\"outbox\":[{\"id\":\"x\"}]}", "[]"}) {
        writeFile(data / "transfers/index.json", text);
        Json state = make()->publicState();
        EXPECT_EQ(state["inbox"], Json::array()) << text;
        EXPECT_EQ(state["outbox"], Json::array()) << text;
    }
    writeFile(data / "transfers/index.json",
              R"({"inbox":[{"createdAt":"2026-12-09T10:14:31Z","id":"A","mime":"text/plain","name":"n","size":3}],)"
              R"("outbox":[]})");
    Json state = make()->publicState();
    ASSERT_EQ(state["inbox"].size(), 1u);
    EXPECT_EQ(state["inbox"][0],
              Json::parse(R"({"createdAt":"2026-12-09T10:14:31Z","id":"A","mime":"text/plain","name":"n","size":3})"));
}

TEST_F(FileTransferServiceTest, RevealShowsTheReceivedFileOrTheInbox) {
    auto files = make();
    std::filesystem::remove_all(inbox);
    files->revealInbox();
    EXPECT_TRUE(std::filesystem::is_directory(inbox));  // created to be shown
    ASSERT_EQ(revealedFolders.size(), 1u);
    EXPECT_EQ(revealedFolders[0], inbox);

    FileRecord r = upload(*files, "shown.txt", "x");
    files->revealInboxSelecting(r.name);
    ASSERT_EQ(selectedFiles.size(), 1u);
    EXPECT_EQ(selectedFiles[0], inbox / "shown.txt");
    files->revealInboxSelecting("gone.txt");
    files->revealInboxSelecting("../data");
    EXPECT_EQ(selectedFiles.size(), 1u);
    EXPECT_EQ(revealedFolders.size(), 3u);
}

TEST_F(FileTransferServiceTest, ConcurrentUploadsAndOutboxChangesKeepEveryFile) {
    auto files = make();
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                try {
                    std::string bytes = patternBytes(5000, static_cast<unsigned>(t * 100 + i));
                    FileRecord r = upload(*files, "same.bin", bytes, 4);
                    if (readFile(inbox / r.name) != bytes) ++failures;
                    files->addOutbox({offered("o" + std::to_string(t) + "-" + std::to_string(i), "o")});
                    files->publicState();
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(files->publicState()["inbox"].size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(files->outboxRecords().size(), static_cast<std::size_t>(kThreads * kEach));
    std::size_t received = 0;
    for (const auto& entry : std::filesystem::directory_iterator(inbox)) received += entry.is_regular_file();
    EXPECT_EQ(received, static_cast<std::size_t>(kThreads * kEach));
}
