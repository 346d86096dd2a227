#pragma once
// The display server's CLIPBOARD selection as UTF-8 text.
//
// In X the clipboard is not a store: the program that owns the selection
// hands its text to each program that asks. So once we write, a thread of
// ours keeps its own connection and answers requests until another program
// takes the selection over. Reads and writes go through that same thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace veltrane::x11 {

class ClipboardSelection {
public:
    // How long a read waits for the selection's owner to hand over its text.
    static constexpr std::chrono::milliseconds kReadTimeout{2000};
    // How long a write waits for the server to confirm our ownership.
    static constexpr std::chrono::milliseconds kWriteTimeout{2000};

    ClipboardSelection();
    ~ClipboardSelection();  // gives the selection up
    ClipboardSelection(const ClipboardSelection&) = delete;
    ClipboardSelection& operator=(const ClipboardSelection&) = delete;

    // The current clipboard text; none when the clipboard is empty, holds no
    // text, its owner did not answer or no display server is reachable.
    std::optional<std::string> read();

    // Takes the selection with `text`. False when no display server is
    // reachable, the server did not give us the selection, or the text is
    // larger than one property can carry.
    bool write(const std::string& text);

    struct Request;
    class Worker;

private:
    std::optional<std::string> submit(std::shared_ptr<Request> request, std::chrono::milliseconds timeout);

    std::mutex mutex_;
    std::shared_ptr<Worker> worker_;  // the running thread's state; null when none
};

}  // namespace veltrane::x11
