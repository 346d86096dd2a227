#pragma once

#include <cstdint>
#include <string>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// One transferred file. Its JSON form is both what transfers/index.json
// stores and what clients are shown.
struct FileRecord {
    std::string id;
    std::string name;  // the stored file's name (for uploads the final inbox name)
    std::int64_t size = 0;
    std::string mime;
    Date createdAt;

    // Every key required; createdAt is an ISO 8601 text.
    static FileRecord decode(const Json& json);
    Json encode() const;

    bool operator==(const FileRecord&) const = default;
};

}  // namespace veltrane::deck
