#include "ControlDeckCore/transfer/FileTransferService.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/MIMEType.h"
#include "ControlDeckCore/transfer/FileTransferNames.h"
#include "ControlDeckCore/transfer/StagingMeta.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

constexpr const char* kStagingFolder = "transfers/staging";
constexpr const char* kOutboxFolder = "transfers/outbox";
constexpr const char* kIndexFile = "transfers/index.json";
constexpr const char* kInbox = "inbox";
constexpr const char* kOutbox = "outbox";
// A free name is chosen again when another program takes it between the
// check and the move; this many times in a row means something is wrong.
constexpr int kMoveAttempts = 8;

template <class T>
void keepNewest(std::vector<T>& records, std::size_t count) {
    if (records.size() > count) records.resize(count);
}

}  // namespace

FileTransferService::FileTransferService(const Path& dataRoot, Path inboxDir,
                                         std::shared_ptr<fs::TransferStorage> storage, Reveal reveal,
                                         DeckClock clock)
    : inboxDir_(std::move(inboxDir)),
      stagingDir_(dataRoot / kStagingFolder),
      outboxDir_(dataRoot / kOutboxFolder),
      indexURL_(dataRoot / kIndexFile),
      storage_(std::move(storage)),
      reveal_(std::move(reveal)),
      clock_(std::move(clock)) {
    for (const Path& folder : {inboxDir_, stagingDir_, outboxDir_}) {
        try {
            storage_->createDirectories(folder);
        } catch (const std::system_error&) {
            // Each operation that needs the folder creates it again or fails.
        }
    }
    if (auto bytes = storage_->readWhole(indexURL_)) {
        if (auto json = JSON::parse(*bytes)) {
            try {
                index_ = TransferIndex::decode(*json);
            } catch (const std::exception&) {
                index_ = {};
            }
        }
    }
}

Json FileTransferService::publicState() const {
    JSONWriter writer;
    writer.beginObject();
    writePublicMembers(writer);
    writer.endObject();
    return std::move(writer).json();
}

void FileTransferService::writePublicMembers(JSONWriter& writer) const {
    auto writeRecords = [&writer](const std::vector<FileRecord>& records) {
        writer.beginArray();
        for (std::size_t i = 0; i < records.size() && i < kRecordsKept; ++i) writer.value(dict(records[i]));
        writer.endArray();
    };
    std::lock_guard lock(lock_);
    writer.key("inbox");
    writeRecords(index_.inbox);
    writer.member("inboxDir", inboxDir_.native());
    writer.key("outbox");
    writeRecords(index_.outbox);
}

std::vector<FileRecord> FileTransferService::outboxRecords() const {
    std::lock_guard lock(lock_);
    return index_.outbox;
}

FileTransferService::Path FileTransferService::stagingFile(const std::string& id, std::string_view extension) const {
    return stagingDir_ / (id + std::string(extension));
}

FileTransferService::Path FileTransferService::outboxFolder(const std::string& id) const { return outboxDir_ / id; }

std::optional<StagingMeta> FileTransferService::loadStaging(const std::string& id) const {
    auto bytes = storage_->readWhole(stagingFile(id, ".json"));
    if (!bytes) return std::nullopt;
    auto json = JSON::parse(*bytes);
    if (!json) return std::nullopt;
    try {
        return StagingMeta::decode(*json);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool FileTransferService::saveIndex() const {
    try {
        saveIndexOrThrow();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Date FileTransferService::now() const {
    // Whole seconds, as the index stores them: a reloaded record equals the one made.
    return std::chrono::floor<std::chrono::seconds>(clock_());
}

void FileTransferService::saveIndexOrThrow() const {
    storage_->writeWhole(indexURL_, JSON::text(index_.encode()));
}

FileRecord FileTransferService::startInbox(const std::string& name, std::int64_t size,
                                           const std::optional<std::string>& mime) {
    // A negative size read as unsigned is huge: a missing size (-1) is refused too.
    if (static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(kMaxFileSize)) throw DeckError::tooLarge();
    StagingMeta meta{sys::uuidString(), safeName(name), size, safeMime(mime), 0, now()};
    {
        std::lock_guard lock(lock_);
        try {
            storage_->writeWhole(stagingFile(meta.id, ".json"), JSON::text(meta.encode()));
            storage_->writeWhole(stagingFile(meta.id, ".part"), {});
        } catch (...) {
            // Half a staging entry would accept chunks it cannot store.
            storage_->removeAll(stagingFile(meta.id, ".json"));
            storage_->removeAll(stagingFile(meta.id, ".part"));
            throw;
        }
    }
    return {meta.id, meta.name, meta.size, meta.mime, meta.createdAt};
}

std::int64_t FileTransferService::appendChunk(const std::string& id, std::int64_t offset, std::string_view data) {
    if (!isWellFormedId(id)) throw DeckError::notFound();
    if (data.size() > kMaxChunkSize) throw DeckError::tooLarge();
    const auto length = static_cast<std::int64_t>(data.size());
    std::lock_guard lock(lock_);
    auto meta = loadStaging(id);
    if (!meta) throw DeckError::notFound();
    if (offset != meta->received) throw DeckError::conflict(kOffsetMismatch);
    if (offset + length > meta->size) throw DeckError::malformedPayload();
    // Written at `received`, after cutting the file there: bytes that an
    // earlier failed attempt left behind never become part of the upload.
    storage_->writeAt(stagingFile(id, ".part"), static_cast<std::uint64_t>(offset), data);
    meta->received += length;
    storage_->writeWhole(stagingFile(id, ".json"), JSON::text(meta->encode()));
    return meta->received;
}

FileTransferService::Path FileTransferService::uniqueURL(const Path& dir, const std::string& name) const {
    if (!storage_->nameTaken(dir / name)) return dir / name;
    for (int n = kFirstAlternative; n <= kLastAlternative; ++n) {
        Path candidate = dir / transfer::numberedName(name, n);
        if (!storage_->nameTaken(candidate)) return candidate;
    }
    return dir / transfer::prefixedName(sys::uuidString() + "-", name, kFileNameByteLimit);
}

FileRecord FileTransferService::completeInbox(const std::string& id) {
    if (!isWellFormedId(id)) throw DeckError::notFound();
    std::lock_guard lock(lock_);
    auto meta = loadStaging(id);
    if (!meta) throw DeckError::notFound();
    if (meta->received != meta->size) throw DeckError::conflict(kIncomplete);
    storage_->createDirectories(inboxDir_);
    // Never replaces a file: when another program takes the chosen name
    // first, the next free one is chosen. On failure the staging files stay
    // and the upload can be completed again.
    Path destination;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kMoveAttempts)
            throw std::system_error(EEXIST, std::generic_category(), "choosing a free name in " + inboxDir_.string());
        destination = uniqueURL(inboxDir_, meta->name);
        if (storage_->moveWithoutReplacing(stagingFile(id, ".part"), destination)) break;
    }
    storage_->removeAll(stagingFile(id, ".json"));
    FileRecord record{id, destination.filename().string(), meta->received, meta->mime, now()};
    index_.inbox.insert(index_.inbox.begin(), record);
    keepNewest(index_.inbox, kRecordsKept);
    saveIndex();
    return record;
}

void FileTransferService::cancelInbox(const std::string& id) {
    if (!isWellFormedId(id)) return;
    std::lock_guard lock(lock_);
    storage_->removeAll(stagingFile(id, ".part"));
    storage_->removeAll(stagingFile(id, ".json"));
}

std::vector<FileRecord> FileTransferService::addOutbox(const std::vector<Path>& urls) {
    std::lock_guard lock(lock_);
    storage_->createDirectories(outboxDir_);
    std::vector<FileRecord> added;
    // Trims the list and writes the index however the loop ends: copies made
    // before a refused file stay offered.
    struct Finish {
        FileTransferService& self;
        ~Finish() {
            if (self.index_.outbox.size() > kRecordsKept) {
                for (std::size_t i = kRecordsKept; i < self.index_.outbox.size(); ++i)
                    self.storage_->removeAll(self.outboxFolder(self.index_.outbox[i].id));
                keepNewest(self.index_.outbox, kRecordsKept);
            }
            self.saveIndex();
        }
    } finish{*this};
    for (const Path& url : urls) {
        auto item = storage_->inspect(url);
        if (!item || item->isDirectory) continue;
        if (item->size < 1 || item->size > static_cast<std::uint64_t>(kMaxFileSize)) throw DeckError::tooLarge();
        std::string id = sys::uuidString();
        std::string name = safeName(url.filename().string());
        storage_->createDirectories(outboxFolder(id));
        try {
            storage_->copyFile(url, outboxFolder(id) / name);
        } catch (...) {
            storage_->removeAll(outboxFolder(id));
            throw;
        }
        FileRecord record{id, name, static_cast<std::int64_t>(item->size), mimeType(name), now()};
        index_.outbox.insert(index_.outbox.begin(), record);
        added.push_back(std::move(record));
    }
    return added;
}

FileTransferService::OutboxFile FileTransferService::outboxFile(const std::string& id) const {
    if (!isWellFormedId(id)) throw DeckError::notFound();
    std::lock_guard lock(lock_);
    auto record = std::find_if(index_.outbox.begin(), index_.outbox.end(),
                               [&](const FileRecord& r) { return r.id == id; });
    if (record == index_.outbox.end()) throw DeckError::notFound();
    Path url = outboxFolder(id) / record->name;
    auto file = storage_->openRegular(url);
    if (!file) throw DeckError::notFound();
    return {*record, std::move(url), std::move(*file)};
}

void FileTransferService::removeOutbox(const std::string& id) {
    if (!isWellFormedId(id)) throw DeckError::notFound();
    std::lock_guard lock(lock_);
    auto matches = [&](const FileRecord& r) { return r.id == id; };
    if (std::none_of(index_.outbox.begin(), index_.outbox.end(), matches)) throw DeckError::notFound();
    std::erase_if(index_.outbox, matches);
    storage_->removeAll(outboxFolder(id));
    saveIndex();
}

void FileTransferService::clearRecords(const std::optional<std::string>& direction,
                                       const std::optional<std::string>& id) {
    if (direction && *direction != kInbox && *direction != kOutbox) throw DeckError::malformedPayload();
    if (id && (!isWellFormedId(*id) || !direction)) throw DeckError::notFound();
    auto matches = [&](const FileRecord& r) { return !id || r.id == *id; };
    const bool inbox = !direction || *direction == kInbox;
    const bool outbox = !direction || *direction == kOutbox;
    std::lock_guard lock(lock_);
    std::vector<std::string> dropped;
    if (outbox)
        for (const FileRecord& r : index_.outbox)
            if (matches(r)) dropped.push_back(r.id);
    if (inbox) std::erase_if(index_.inbox, matches);
    if (outbox) std::erase_if(index_.outbox, matches);
    // Copies go only once the index no longer lists them.
    saveIndexOrThrow();
    for (const std::string& gone : dropped) storage_->removeAll(outboxFolder(gone));
}

void FileTransferService::revealInbox() const {
    try {
        storage_->createDirectories(inboxDir_);
    } catch (const std::system_error&) {
        // The file manager says so itself.
    }
    if (reveal_.openFolder) reveal_.openFolder(inboxDir_);
}

void FileTransferService::revealInboxSelecting(const std::string& name) const {
    // Record names are safe names; anything else is not looked up.
    const bool plainName = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
    if (plainName && storage_->inspect(inboxDir_ / name)) {
        if (reveal_.selectFile) reveal_.selectFile(inboxDir_ / name);
        return;
    }
    revealInbox();
}

}  // namespace veltrane::deck
