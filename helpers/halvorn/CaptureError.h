#pragma once
// The helper's errors; their text is what the user reads on standard error.

#include <cstdint>
#include <string>
#include <utility>

namespace veltrane::halvorn {

class CaptureError {
public:
    enum class Kind { status, message };

    // "<name> failed with status <code>"
    static CaptureError status(std::string name, std::int32_t code) {
        return CaptureError(Kind::status, std::move(name), code);
    }
    static CaptureError message(std::string text) { return CaptureError(Kind::message, std::move(text), 0); }

    Kind kind() const { return kind_; }
    std::string description() const {
        return kind_ == Kind::status ? text_ + " failed with status " + std::to_string(code_) : text_;
    }

private:
    CaptureError(Kind kind, std::string text, std::int32_t code) : kind_(kind), text_(std::move(text)), code_(code) {}
    Kind kind_;
    std::string text_;
    std::int32_t code_;
};

}  // namespace veltrane::halvorn
