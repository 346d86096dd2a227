// What a tablet declares when it starts an upload, through the route's body
// reading and the transfer service over an in-memory disk. The input is the
// start body, then optionally a NUL and the first chunk's "offset" value.
// A body is refused with the route's errors or starts an upload whose
// record and staging entry hold the safe forms of what was declared; the
// chunk lands only at offset 0; a complete upload is stored under a safe
// inbox name, a second one of the same name under another, and a reloaded
// service shows both.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "ControlDeckCore/shared/UTF8.h"
#include "ControlDeckCore/transfer/FileTransferService.h"
#include "ControlDeckCore/transfer/StagingMeta.h"
#include "fuzz/RouteBody.h"

using namespace veltrane::deck;
using Path = std::filesystem::path;

using veltrane::fuzzing::require;

namespace {

// Files and folders in memory; every operation succeeds.
class MemoryStorage : public veltrane::fs::TransferStorage {
public:
    std::map<Path, std::string> files;
    std::set<Path> folders;

    void createDirectories(const Path& folder) override {
        for (Path p = folder; !p.empty() && p != p.root_path(); p = p.parent_path()) folders.insert(p);
    }
    void writeWhole(const Path& file, std::string_view bytes) override { files[file] = std::string(bytes); }
    void writeAt(const Path& file, std::uint64_t offset, std::string_view bytes) override {
        std::string& content = files.at(file);
        content.resize(offset);
        content += bytes;
    }
    std::optional<Item> inspect(const Path& path) override {
        if (folders.count(path)) return Item{true, 0};
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return Item{false, it->second.size()};
    }
    bool nameTaken(const Path& path) override { return folders.count(path) || files.count(path); }
    std::optional<std::string> readWhole(const Path& file) override {
        auto it = files.find(file);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }
    std::optional<OpenFile> openRegular(const Path& file) override {
        auto it = files.find(file);
        if (it == files.end()) return std::nullopt;
        auto descriptor = std::make_shared<const veltrane::sys::FileDescriptor>(::memfd_create("file", MFD_CLOEXEC));
        const std::string& bytes = it->second;
        if (descriptor->get() < 0 ||
            ::write(descriptor->get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            return std::nullopt;
        return OpenFile{std::move(descriptor), bytes.size()};
    }
    bool moveWithoutReplacing(const Path& from, const Path& to) override {
        if (nameTaken(to)) return false;
        files[to] = files.at(from);
        files.erase(from);
        return true;
    }
    void copyFile(const Path& from, const Path& to) override { files[to] = files.at(from); }
    bool removeAll(const Path& path) override {
        std::erase_if(files, [&](const auto& entry) {
            auto [end, _] = std::mismatch(path.begin(), path.end(), entry.first.begin(), entry.first.end());
            return end == path.end();
        });
        folders.erase(path);
        return true;
    }
};

const Path kData = "/data";
const Path kInbox = "/inbox";

void checkSafeName(const std::string& name) {
    require(!name.empty() && name != "." && name != "..");
    require(name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos);
    require(utf8::isValid(name) && name.size() <= FileTransferService::kNameByteLimit);
}

void checkStored(MemoryStorage& storage, const FileRecord& record, const std::string& bytes) {
    require(FileTransferService::isWellFormedId(record.id));
    require(Path(record.name).filename() == record.name && record.name.size() <= FileTransferService::kFileNameByteLimit);
    auto stored = storage.readWhole(kInbox / record.name);
    require(stored && *stored == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view body = input.substr(0, nul);
    const std::map<std::string, std::string> query =
        nul == std::string_view::npos ? std::map<std::string, std::string>{}
                                      : std::map<std::string, std::string>{{"offset", std::string(input.substr(nul + 1))}};

    auto read = veltrane::fuzzing::readRouteBody(body, UploadStart::parse, [](const Json& json) { return json.is_object(); });
    if (!read) return 0;
    const UploadStart& start = *read;
    const Json object = *JSON::parse(body);
    const Json* declaredName = JSON::member(object, "name");
    require(start.name == (declaredName && declaredName->is_string() ? declaredName->get<std::string>() : ""));
    require(start.size == JSON::toInt(JSON::member(object, "size")).value_or(-1));

    auto storage = std::make_shared<MemoryStorage>();
    auto service = std::make_unique<FileTransferService>(kData, kInbox, storage);
    FileRecord record;
    try {
        record = service->startInbox(start.name, start.size, start.mime);
    } catch (const DeckError& error) {
        require(error.kind() == DeckError::Case::tooLarge);
        require(start.size < 0 || start.size > FileTransferService::kMaxFileSize);
        return 0;
    }
    require(start.size >= 0 && start.size <= FileTransferService::kMaxFileSize);
    checkSafeName(record.name);
    require(record.name == FileTransferService::safeName(start.name));
    require(record.size == start.size);
    require(record.mime == FileTransferService::safeMime(start.mime) && record.mime.find('/') != std::string::npos);
    auto staged = storage->readWhole(kData / "transfers/staging" / (record.id + ".json"));
    require(staged.has_value());
    auto meta = StagingMeta::decode(*JSON::parse(*staged));
    require(meta.id == record.id && meta.name == record.name && meta.size == record.size &&
            meta.mime == record.mime && meta.received == 0);

    // Small uploads are sent whole in one chunk at the declared offset.
    const std::int64_t offset = chunkOffset(query);
    if (start.size > 64) return 0;
    const std::string bytes(static_cast<std::size_t>(start.size), 'b');
    if (!bytes.empty()) {
        try {
            require(service->appendChunk(record.id, offset, bytes) == start.size);
            require(offset == 0);
        } catch (const DeckError& error) {
            require(offset != 0 && error.kind() == DeckError::Case::conflict);
            return 0;
        }
    }
    FileRecord first = service->completeInbox(record.id);
    checkStored(*storage, first, bytes);
    FileRecord again = service->completeInbox(service->startInbox(start.name, 0, start.mime).id);
    checkStored(*storage, again, "");
    require(again.name != first.name);

    // A service that reads the index back shows both, newest first.
    FileTransferService reloaded(kData, kInbox, storage);
    require(reloaded.publicState() == service->publicState());
    require(reloaded.publicState()["inbox"].size() == 2);
    require(reloaded.publicState()["inbox"][0]["name"] == again.name);
    return 0;
}
