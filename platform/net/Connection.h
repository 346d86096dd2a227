#pragma once
// One accepted TCP connection, as the Control Deck's HTTP layer sees it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/system/FileDescriptor.h"

namespace veltrane::net {

// Every completion runs as work of the connection's own serial queue, and a
// pending receive or send keeps the connection alive. Dropping the last
// reference closes the socket; cancel() closes it at once.
class Connection {
public:
    // `isComplete` is true once the peer has finished sending (data is then
    // empty); `error` is set when the read failed or the connection was
    // cancelled. Otherwise `data` holds at least one byte.
    using ReceiveHandler = std::function<void(std::string data, bool isComplete, std::error_code error)>;
    using SendHandler = std::function<void(std::error_code error)>;
    // Runs on the connection's queue each time more of a file went out.
    using ProgressHandler = std::function<void()>;

    virtual ~Connection() = default;

    virtual const std::shared_ptr<dispatch::DispatchQueue>& queue() const = 0;

    // Reads up to `maximumLength` bytes. One receive at a time.
    virtual void receive(std::size_t maximumLength, ReceiveHandler handler) = 0;

    // Queues `data` behind earlier sends; `handler` (may be empty) runs once it
    // has all been handed to the system, or failed. May be called from any
    // thread; sends from one thread leave in the order they were made.
    virtual void send(std::string data, SendHandler handler) = 0;
    // The same for bytes shared with other sends (one message to many
    // connections): they are held, never copied, while they wait.
    virtual void sendShared(std::shared_ptr<const std::string> data, SendHandler handler) {
        send(std::string(*data), std::move(handler));
    }

    // Queues `length` bytes of the open regular `file` from `offset` behind
    // earlier sends, written as the peer takes them without being held in
    // memory; the descriptor is kept open until then. `done` (may be empty)
    // runs once all have been handed to the system, or the send failed (also
    // when the file ends early); `progress` (may be empty) whenever some did.
    virtual void sendFile(std::shared_ptr<const sys::FileDescriptor> file, std::uint64_t offset, std::uint64_t length,
                          SendHandler done, ProgressHandler progress) = 0;

    // Bytes passed to send() whose writing has not completed yet.
    virtual std::size_t queuedBytes() const = 0;

    // Closes the socket and releases its descriptor; pending operations
    // complete with an error. Safe from any thread, more than once.
    virtual void cancel() = 0;

    // The peer's address as text: dotted IPv4 (also for an IPv4-mapped IPv6
    // peer) or IPv6; empty when the peer has no IP address.
    virtual const std::string& remoteHost() const = 0;
};

}  // namespace veltrane::net
