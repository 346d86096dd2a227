#pragma once

#include <string>

#include "ControlDeckCore/adapters/ClipboardAccessing.h"

namespace veltrane::deck {

class FakeClipboard : public ClipboardAccessing {
public:
    std::optional<std::string> readString() override { return text; }
    bool readsAtOnce() const override { return true; }
    void writeString(const std::string& newText) override { text = newText; }

    std::string text;
};

}  // namespace veltrane::deck
