#pragma once

#include <cstdint>
#include <string>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// An upload in progress: transfers/staging/<id>.json beside the bytes in
// <id>.part. Name and MIME type are already made safe.
struct StagingMeta {
    std::string id;
    std::string name;
    std::int64_t size = 0;      // declared total
    std::string mime;
    std::int64_t received = 0;  // bytes on disk in <id>.part that count
    Date createdAt;

    // Every key required.
    static StagingMeta decode(const Json& json);
    Json encode() const;

    bool operator==(const StagingMeta&) const = default;
};

}  // namespace veltrane::deck
