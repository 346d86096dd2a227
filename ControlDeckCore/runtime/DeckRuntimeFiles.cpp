// The file-transfer routes and the desktop's outbox operations.

#include <vector>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

namespace {

constexpr std::string_view kCompleteSuffix = "/complete";

// The pieces of `rest` between slashes, empty ones dropped.
std::vector<std::string> pathPieces(std::string_view rest) {
    std::vector<std::string> pieces;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view piece = rest.substr(0, slash);
        if (!piece.empty()) pieces.emplace_back(piece);
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return pieces;
}

// An id from the path, as it stands; only a well-formed one goes further.
std::string wellFormedId(std::string_view text) {
    if (!FileTransferService::isWellFormedId(text)) throw DeckError::notFound();
    return std::string(text);
}

}  // namespace

std::shared_ptr<FileTransferService> DeckRuntime::makeFileTransferService(const FileStore& store,
                                                                          const AdapterSet& adapters) {
    std::shared_ptr<FileRevealing> manager = adapters.files;
    FileTransferService::Reveal reveal{
        [manager](const std::filesystem::path& folder) { manager->showFolder(folder); },
        [manager](const std::filesystem::path& file) { manager->showFile(file); },
    };
    return std::make_shared<FileTransferService>(store.root(), store.inboxDirectory(!manager->usesUserFolders()),
                                                 fs::TransferStorage::local(), std::move(reveal));
}

void DeckRuntime::writeFiles(JSONWriter& writer) const {
    writer.beginObject();
    writer.member("enabled", settings_.fileTransferEnabled);
    files_->writePublicMembers(writer);
    writer.endObject();
}

HTTPResponse DeckRuntime::clearRecordsRoute(const HTTPRequest& request) {
    std::string_view path = request.path;
    if (path.starts_with(kFilesRecordsPrefix)) {
        std::vector<std::string> pieces = pathPieces(path.substr(kFilesRecordsPrefix.size()));
        if (pieces.size() != 2) throw DeckError::notFound();
        files_->clearRecords(pieces[0], pieces[1]);
    } else {
        files_->clearRecords(std::nullopt, std::nullopt);
    }
    broadcastState();
    return HTTPResponse::ok(Json{{"cleared", true}});
}

HTTPResponse DeckRuntime::revealInboxRoute() {
    files_->revealInbox();
    return HTTPResponse::ok(Json{{"path", files_->inboxDir().string()}});
}

HTTPResponse DeckRuntime::startInbox(const HTTPRequest& request) {
    const UploadStart start = UploadStart::parse(request.body);
    FileRecord record = files_->startInbox(start.name, start.size, start.mime);
    return HTTPResponse::ok(FileTransferService::dict(record));
}

HTTPResponse DeckRuntime::handleInboxPath(const HTTPRequest& request) {
    std::string_view rest = std::string_view(request.path).substr(kFilesInboxPrefix.size());
    const std::string& method = request.method;
    if (method == "POST" && rest.size() > kCompleteSuffix.size() && rest.ends_with(kCompleteSuffix)) {
        std::string id = wellFormedId(rest.substr(0, rest.size() - kCompleteSuffix.size()));
        FileRecord record = files_->completeInbox(id);
        files_->revealInboxSelecting(record.name);
        broadcastState();
        return HTTPResponse::ok(FileTransferService::dict(record));
    }
    if (method == "PUT") {
        std::string id = wellFormedId(rest);
        std::int64_t received = files_->appendChunk(id, chunkOffset(request.query), request.body);
        return HTTPResponse::ok(Json{{"id", id}, {"received", received}});
    }
    if (method == "DELETE") {
        std::string id = wellFormedId(rest);
        files_->cancelInbox(id);
        return HTTPResponse::ok(Json{{"id", id}, {"cancelled", true}});
    }
    throw DeckError::notFound();
}

HTTPResponse DeckRuntime::handleOutboxPath(const HTTPRequest& request) {
    std::string_view rest = std::string_view(request.path).substr(kFilesOutboxPrefix.size());
    if (request.method == "GET") {
        FileTransferService::OutboxFile file = files_->outboxFile(wellFormedId(rest));
        return HTTPResponse::streamed(
            {{"Content-Type", file.record.mime},
             {"Content-Disposition", FileTransferService::contentDisposition(file.record.name)},
             {"Cache-Control", "no-store"}},
            FileBody{std::move(file.file.descriptor), file.file.size});
    }
    if (request.method == "DELETE") {
        std::string id = wellFormedId(rest);
        files_->removeOutbox(id);
        broadcastState();
        return HTTPResponse::ok(Json{{"id", id}, {"removed", true}});
    }
    throw DeckError::notFound();
}

std::vector<FileRecord> DeckRuntime::addOutboxFiles(const std::vector<std::filesystem::path>& paths) {
    // Copying may take seconds: it runs on the caller's thread under the
    // service's own lock, and only the broadcast waits for the runtime queue.
    std::vector<FileRecord> added = files_->addOutbox(paths);
    onQueue([&] { broadcastState(); });
    return added;
}

void DeckRuntime::removeOutboxFile(const std::string& id) {
    files_->removeOutbox(id);
    onQueue([&] { broadcastState(); });
}

void DeckRuntime::revealFileInbox() { files_->revealInbox(); }

std::vector<FileRecord> DeckRuntime::outboxFiles() const { return files_->outboxRecords(); }

}  // namespace veltrane::deck
