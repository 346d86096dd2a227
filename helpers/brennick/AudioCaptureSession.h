#pragma once
// What both capture sessions offer the entry, and the helper's error type:
// its text is exactly what the entry prints.

#include <stdexcept>
#include <string>

namespace veltrane::brennick {

class AudioCaptureError : public std::runtime_error {
public:
    explicit AudioCaptureError(const std::string& message, bool moduleRefused = false)
        : std::runtime_error(message), moduleRefused_(moduleRefused) {}
    // The audio server does not let this client reroute streams: the entry
    // falls back to the session that only copies them.
    bool moduleRefused() const { return moduleRefused_; }

private:
    bool moduleRefused_;
};

// start() was cut short by stop() (a signal while starting).
class StartCancelled : public std::runtime_error {
public:
    StartCancelled() : std::runtime_error("start cancelled") {}
};

class AudioCaptureSession {
public:
    virtual ~AudioCaptureSession() = default;
    // Sets up the capture and begins writing packets. Throws AudioCaptureError.
    virtual void start() = 0;
    // Ends the capture and undoes what start() did; safe from any thread, at
    // any time, more than once.
    virtual void stop() = 0;
    // Whether the captured applications are also heard on this computer; any thread.
    virtual void setOutputOnMac(bool on) = 0;
};

}  // namespace veltrane::brennick
