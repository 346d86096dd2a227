#pragma once

#include <vector>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/transfer/FileRecord.h"

namespace veltrane::deck {

// transfers/index.json: the records of each direction, newest first.
struct TransferIndex {
    std::vector<FileRecord> inbox;
    std::vector<FileRecord> outbox;

    // Both keys required.
    static TransferIndex decode(const Json& json);
    Json encode() const;

    bool operator==(const TransferIndex&) const = default;
};

}  // namespace veltrane::deck
