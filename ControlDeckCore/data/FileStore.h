#pragma once
// The Control Deck's data directory: its fixed folders, the one encoder and
// decoder of its JSON files, the safe write every data file goes through,
// screenshots and the reset of the configuration.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/shared/Decoding.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "ControlDeckCore/shared/JSON.h"
#include "platform/fs/FileSystem.h"

namespace veltrane::deck {

class FileStore {
public:
    static constexpr std::string_view settingsFile = "settings.json";
    static constexpr std::string_view layoutFile = "layout.json";
    static constexpr std::string_view actionsFile = "actions.json";
    static constexpr std::string_view clipboardHistoryFile = "clipboard-history.json";
    static constexpr std::string_view identityFile = "identity.json";
    static constexpr std::string_view screenshotsFolder = "screenshots";
    static constexpr std::string_view transfersFolder = "transfers";
    static constexpr std::string_view temporarySuffix = ".tmp";
    // Where received files go without a downloads folder, and under fake
    // adapters.
    static constexpr std::string_view inboxFolder = "inbox";
    static constexpr std::string_view receivedFilesFolder = "Veltrane Control Deck";

    // Creates `root`, then its screenshots and transfers folders; a folder
    // that cannot be created is skipped.
    explicit FileStore(fs::Path root, std::shared_ptr<fs::FileSystem> files = fs::FileSystem::local());

    const fs::Path& root() const { return root_; }

    // The encoder: sorted keys, pretty-printed; dates are ISO 8601 texts in
    // the records' JSON. nullopt when the value cannot be written.
    static std::optional<std::string> encode(const Json& value);
    // The decoder's reading of file bytes; nullopt when they are not JSON.
    static std::optional<Json> decode(std::string_view bytes) { return coding::parse(bytes); }

    // Writes a data file whole: encode, write "<name>.tmp" durably, rename it
    // over "<name>"; if either step fails, write "<name>" directly. Nothing is
    // written when encoding fails, and write failures are not reported.
    void write(std::string_view name, const Json& value);
    void saveLayout(const LayoutDocument& layout) { write(layoutFile, layout.encode()); }

    // A data file's bytes; nullopt when missing or unreadable.
    std::optional<std::string> read(std::string_view name) const;
    bool exists(std::string_view name) const;
    // A data file decoded as T; nullopt when missing, unreadable or not a T.
    template <class T>
    std::optional<T> load(std::string_view name) const {
        auto bytes = read(name);
        if (!bytes) return std::nullopt;
        auto json = decode(*bytes);
        if (!json) return std::nullopt;
        try {
            return coding::decode<T>(*json);
        } catch (const DecodingError&) {
            return std::nullopt;
        }
    }
    // layout.json, or the default layout when it is missing, empty or bad.
    LayoutDocument loadLayout() const { return LayoutDocument::recover(read(layoutFile)); }

    // root/screenshots/<id>.png, the id taken verbatim.
    fs::Path screenshotURL(const std::string& id) const;
    // Writes root/screenshots/<id>.png plainly. A write that fails leaves no
    // part of the file behind and throws std::runtime_error.
    void saveScreenshot(const std::string& id, std::string_view png);
    // Deletes all but the `count` newest *.png files (any case) of the
    // screenshots folder; other files and folders stay.
    void pruneScreenshots(std::size_t count);
    // Deletes settings, layout, identity, actions and clipboard history;
    // folders and temporary files stay.
    void resetConfiguration();

    // Where received files go: "Veltrane Control Deck" in the user's
    // downloads folder (or in root/inbox when there is none); root/inbox
    // itself under fake adapters.
    fs::Path inboxDirectory(bool useFakeAdapters) const;

private:
    fs::Path file(std::string_view name) const;

    fs::Path root_;
    std::shared_ptr<fs::FileSystem> files_;
};

}  // namespace veltrane::deck
