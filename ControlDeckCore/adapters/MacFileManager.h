#pragma once

#include <memory>

#include "ControlDeckCore/adapters/FileRevealing.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace veltrane::deck {

// The host's file manager, asked on "deck.files.reveal".
class MacFileManager : public FileRevealing {
public:
    static constexpr const char* kQueueLabel = "deck.files.reveal";

    MacFileManager();
    bool usesUserFolders() const override { return true; }
    void showFolder(const std::filesystem::path& folder) override;
    void showFile(const std::filesystem::path& file) override;

private:
    const std::shared_ptr<dispatch::ConcurrentQueue> queue_;
};

}  // namespace veltrane::deck
