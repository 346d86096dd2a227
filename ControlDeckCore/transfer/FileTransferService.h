#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/shared/DeckClock.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONWriter.h"
#include "ControlDeckCore/transfer/FileRecord.h"
#include "ControlDeckCore/transfer/TransferIndex.h"
#include "platform/fs/TransferStorage.h"

namespace veltrane::deck {

struct StagingMeta;

// Files between tablet and computer. Uploads arrive in chunks in
// <data>/transfers/staging and move into the inbox folder when complete;
// files offered for download are copied into <data>/transfers/outbox/<id>/.
// The newest records of each direction live in transfers/index.json.
//
// One lock guards records, staging files and outbox copies, so every
// member may be called from any thread. Checks that need no file run before
// it is taken; the reveal operations never take it.
class FileTransferService {
public:
    using Path = std::filesystem::path;

    static constexpr std::int64_t kMaxFileSize = 268'435'456;  // 256 MiB
    static constexpr std::size_t kMaxChunkSize = 1'048'576;    // 1 MiB
    static constexpr std::size_t kRecordsKept = 40;            // per direction
    static constexpr std::size_t kNameCharacterLimit = 160;
    // File names are limited to 255 bytes; a safe name leaves room for the
    // " 999" that the last numbered alternative inserts.
    static constexpr std::size_t kFileNameByteLimit = 255;
    static constexpr std::size_t kNameByteLimit = kFileNameByteLimit - 4;
    static constexpr std::size_t kMimeCharacterLimit = 100;
    static constexpr int kFirstAlternative = 2;
    static constexpr int kLastAlternative = 999;
    static constexpr std::size_t kIdLength = 36;

    static constexpr const char* kDefaultMime = "application/octet-stream";
    static constexpr const char* kOffsetMismatch = "Upload chunk offset does not match.";
    static constexpr const char* kIncomplete = "Upload is incomplete.";

    // How the desktop shows the inbox folder, or one received file selected
    // in it. Either may be empty: nothing is shown then.
    struct Reveal {
        std::function<void(const Path& folder)> openFolder;
        std::function<void(const Path& file)> selectFile;
    };

    // Creates the inbox, staging and outbox folders (failures ignored) and
    // loads the index; a missing or undecodable index gives empty lists.
    FileTransferService(const Path& dataRoot, Path inboxDir,
                        std::shared_ptr<fs::TransferStorage> storage = fs::TransferStorage::local(),
                        Reveal reveal = {}, DeckClock clock = systemNow);
    FileTransferService(const FileTransferService&) = delete;
    FileTransferService& operator=(const FileTransferService&) = delete;

    const Path& inboxDir() const { return inboxDir_; }

    // {"inboxDir", "inbox", "outbox"}: the client form of the records,
    // newest first.
    Json publicState() const;
    // The same three members written into an object `writer` has open, so
    // its caller's keys before "inbox" go first and those after "outbox" last.
    void writePublicMembers(JSONWriter& writer) const;
    // The outbox records, newest first.
    std::vector<FileRecord> outboxRecords() const;

    // Begins an upload; the record's name and MIME type are the safe forms.
    // A declared size that is negative or above kMaxFileSize is tooLarge.
    FileRecord startInbox(const std::string& name, std::int64_t size, const std::optional<std::string>& mime);
    // Writes one chunk at `offset`, which must equal the bytes received so
    // far; returns the new count. A retry at the same offset after a failed
    // write repairs whatever that attempt left.
    std::int64_t appendChunk(const std::string& id, std::int64_t offset, std::string_view data);
    // Moves a fully received upload into the inbox under a free name and
    // records it.
    FileRecord completeInbox(const std::string& id);
    // Abandons an upload; never fails.
    void cancelInbox(const std::string& id);

    // Offers files for download, in order; directories and missing paths are
    // skipped. A file that is empty or above kMaxFileSize stops the call with
    // tooLarge (copies made for earlier files stay offered).
    std::vector<FileRecord> addOutbox(const std::vector<Path>& urls);
    struct OutboxFile {
        FileRecord record;
        Path url;
        // The copy, opened under the lock: removing or clearing the record
        // afterwards cannot change or cut what is read through it.
        fs::TransferStorage::OpenFile file;
    };
    // The record and its copy opened for reading, never read here: a
    // download streams it, so a large file is not held in memory.
    OutboxFile outboxFile(const std::string& id) const;
    void removeOutbox(const std::string& id);
    // Forgets records: `direction` "inbox", "outbox" or none (both), `id` one
    // record (needs a direction) or none (all). Outbox copies go with their
    // records; received files always stay.
    void clearRecords(const std::optional<std::string>& direction, const std::optional<std::string>& id);

    void revealInbox() const;
    // Shows <inbox>/<name> selected, or the inbox when it is not there.
    void revealInboxSelecting(const std::string& name) const;

    // The name a client's file is stored under: its last path component
    // without NULs, trimmed, "/", "\" and ":" turned into "-", "file" for
    // nothing, "." and ".."; at most kNameCharacterLimit characters and
    // kNameByteLimit bytes (the base is shortened first so the extension
    // stays), never cutting a character.
    static std::string safeName(std::string_view name);
    // Trimmed and lower-cased when it holds "/", has no line feed and at most
    // kMimeCharacterLimit characters; otherwise kDefaultMime.
    static std::string safeMime(const std::optional<std::string>& mime);
    // The client form of a record.
    static Json dict(const FileRecord& record) { return record.encode(); }
    // attachment; filename="<ASCII fallback>"; filename*=UTF-8''<encoded>.
    // The fallback has "_" for every character that is not printable ASCII
    // and for quotes and backslashes, so it can never end the header line.
    static std::string contentDisposition(std::string_view name);
    // Exactly kIdLength hexadecimal digits and hyphens: safe inside a path.
    static bool isWellFormedId(std::string_view id);

private:
    Path stagingFile(const std::string& id, std::string_view extension) const;
    Path outboxFolder(const std::string& id) const;
    std::optional<StagingMeta> loadStaging(const std::string& id) const;
    Path uniqueURL(const Path& dir, const std::string& name) const;
    Date now() const;
    // Writes the index; false when that failed.
    bool saveIndex() const;
    void saveIndexOrThrow() const;

    Path inboxDir_;
    Path stagingDir_;
    Path outboxDir_;
    Path indexURL_;
    std::shared_ptr<fs::TransferStorage> storage_;
    Reveal reveal_;
    DeckClock clock_;

    mutable std::mutex lock_;
    TransferIndex index_;
};

}  // namespace veltrane::deck
