#include "ControlDeckCore/data/FileStore.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <vector>

#include "platform/fs/UserDirectories.h"

namespace veltrane::deck {

namespace {

bool hasPNGExtension(const fs::Path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".png";
}

}  // namespace

FileStore::FileStore(fs::Path root, std::shared_ptr<fs::FileSystem> files)
    : root_(std::move(root)), files_(std::move(files)) {
    files_->createDirectories(root_);
    files_->createDirectories(file(screenshotsFolder));
    files_->createDirectories(file(transfersFolder));
}

fs::Path FileStore::file(std::string_view name) const { return root_ / std::string(name); }

std::optional<std::string> FileStore::encode(const Json& value) { return JSON::prettyText(value); }

void FileStore::write(std::string_view name, const Json& value) {
    auto bytes = encode(value);
    if (!bytes) return;
    fs::Path target = file(name);
    fs::Path temporary = file(std::string(name) + std::string(temporarySuffix));
    if (files_->writeFile(temporary, *bytes, /*durable=*/true) && files_->replaceFile(target, temporary)) return;
    // A temporary file left by a failed replace is overwritten by the next save.
    files_->writeFile(target, *bytes, /*durable=*/true);
}

std::optional<std::string> FileStore::read(std::string_view name) const { return files_->readFile(file(name)); }

bool FileStore::exists(std::string_view name) const { return files_->fileExists(file(name)); }

fs::Path FileStore::screenshotURL(const std::string& id) const {
    // Joined as text: an id starting with "/" must not replace the folder.
    return fs::Path(file(screenshotsFolder).native() + "/" + id + ".png");
}

void FileStore::saveScreenshot(const std::string& id, std::string_view png) {
    const fs::Path path = screenshotURL(id);
    if (files_->writeFile(path, png, false)) return;
    // A half-written picture would be listed and served as if it were whole.
    files_->removeFile(path);
    throw std::runtime_error("Could not write the screenshot " + id + ".png.");
}

void FileStore::pruneScreenshots(std::size_t count) {
    auto entries = files_->listDirectory(file(screenshotsFolder));
    if (!entries) return;
    std::vector<fs::DirectoryEntry> pictures;
    for (auto& entry : *entries)
        if (!entry.isDirectory && hasPNGExtension(entry.path)) pictures.push_back(std::move(entry));
    // Unknown dates count as the distant past; equal dates keep listing order.
    std::stable_sort(pictures.begin(), pictures.end(), [](const fs::DirectoryEntry& a, const fs::DirectoryEntry& b) {
        return a.modified.value_or(fs::FileTime::min()) > b.modified.value_or(fs::FileTime::min());
    });
    for (std::size_t i = count; i < pictures.size(); ++i) files_->removeFile(pictures[i].path);
}

void FileStore::resetConfiguration() {
    for (auto name : {settingsFile, layoutFile, identityFile, actionsFile, clipboardHistoryFile})
        files_->removeFile(file(name));
}

fs::Path FileStore::inboxDirectory(bool useFakeAdapters) const {
    fs::Path inbox = file(inboxFolder);
    if (useFakeAdapters) return inbox;
    return fs::downloadsDirectory().value_or(inbox) / std::string(receivedFilesFolder);
}

}  // namespace veltrane::deck
