#include "ControlDeckCore/adapters/MacFileManager.h"

#include "platform/apps/FileManager.h"

namespace veltrane::deck {

MacFileManager::MacFileManager() : queue_(dispatch::ConcurrentQueue::create(kQueueLabel)) {}

void MacFileManager::showFolder(const std::filesystem::path& folder) {
    queue_->async([folder] { apps::FileManager::showFolder(folder); });
}

void MacFileManager::showFile(const std::filesystem::path& file) {
    queue_->async([file] { apps::FileManager::showFile(file); });
}

}  // namespace veltrane::deck
