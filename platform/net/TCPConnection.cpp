#include "platform/net/TCPConnection.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include <asio/post.hpp>
#include <asio/write.hpp>

namespace veltrane::net {

namespace {
constexpr std::size_t kFirstReadSize = 8 * 1024;
// File bytes handed over in one turn of the queue before the network thread
// serves its other connections.
constexpr std::uint64_t kFileTurn = 2 * 1024 * 1024;

// Every accepted connection's peer is written out: inet_ntop formats IPv4
// through sprintf.
std::string dottedQuad(const asio::ip::address_v4& address) {
    const auto bytes = address.to_bytes();
    char text[16];
    char* at = text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) *at++ = '.';
        at = std::to_chars(at, text + sizeof text, bytes[i]).ptr;
    }
    return std::string(text, at);
}
}  // namespace

std::string TCPConnection::hostText(const asio::ip::tcp::endpoint& peer) {
    auto address = peer.address();
    if (address.is_v4()) return dottedQuad(address.to_v4());
    if (address.to_v6().is_v4_mapped())
        return dottedQuad(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()));
    return address.to_string();
}

std::error_code standardError(const std::error_code& error) {
    if (error && error.category() == asio::error::get_system_category())
        return std::error_code(error.value(), std::system_category());
    return error;
}

std::shared_ptr<TCPConnection> TCPConnection::create(asio::ip::tcp::socket socket, std::string label) {
    asio::error_code ec;
    auto peer = socket.remote_endpoint(ec);
    std::string host = ec ? std::string() : hostText(peer);
    return create(std::move(socket), std::move(label), std::move(host));
}

std::shared_ptr<TCPConnection> TCPConnection::create(asio::ip::tcp::socket socket, std::string label,
                                                     std::string remoteHost) {
    // The connection's queue runs on the network thread its socket belongs to.
    auto& context = static_cast<asio::io_context&>(socket.get_executor().context());
    auto queue = LoopQueue::create(std::move(label), context);
    return std::make_shared<TCPConnection>(Key(), std::move(socket), std::move(queue), std::move(remoteHost));
}

TCPConnection::TCPConnection(Key, asio::ip::tcp::socket socket, std::shared_ptr<LoopQueue> queue,
                             std::string remoteHost)
    : queue_(std::move(queue)), queueBase_(queue_), socket_(std::move(socket)), remoteHost_(std::move(remoteHost)) {}

template <class F>
void TCPConnection::onQueue(F fn) {
    if (queue_->isCurrent())
        fn();
    else
        asio::post(queue_->wrap(std::move(fn)));
}

void TCPConnection::receive(std::size_t maximumLength, ReceiveHandler handler) {
    onQueue([self = shared_from_this(), maximumLength, handler = std::move(handler)]() mutable {
        self->startReceive(maximumLength, std::move(handler));
    });
}

void TCPConnection::startReceive(std::size_t maximumLength, ReceiveHandler handler) {
    bool cancelled;
    {
        std::lock_guard lock(mutex_);
        cancelled = cancelled_;
    }
    if (cancelled) {
        asio::post(queue_->wrap(
            [handler = std::move(handler)] { handler({}, false, standardError(asio::error::operation_aborted)); }));
        return;
    }
    maximumLength = std::max<std::size_t>(1, maximumLength);
    // The bytes are usually there already.
    if (readNow(maximumLength, handler, true)) return;
    socket_.async_wait(asio::ip::tcp::socket::wait_read,
                       queue_->wrap([self = shared_from_this(), maximumLength,
                                     handler = std::move(handler)](asio::error_code ec) mutable {
                           if (ec) {
                               handler({}, false, standardError(ec));
                               return;
                           }
                           if (!self->readNow(maximumLength, handler, false))
                               self->startReceive(maximumLength, std::move(handler));  // woken for nothing
                       }));
}

bool TCPConnection::readNow(std::size_t maximumLength, ReceiveHandler& handler, bool later) {
    // Every read lands in its loop thread's buffer and only the bytes read are
    // kept, so a connection waiting for its peer holds no buffer.
    thread_local std::unique_ptr<char[]> buffer;
    thread_local std::size_t capacity = 0;
    const std::size_t size = std::min(maximumLength, std::max(wantedSize_, kFirstReadSize));
    if (size > capacity) {
        buffer.reset(new char[size]);
        capacity = size;
    }
    ssize_t n;
    do {
        n = ::recv(socket_.native_handle(), buffer.get(), size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    std::string data;
    std::error_code error;
    if (n > 0) {
        // A read that filled its buffer: the peer sends faster than we read,
        // so read more at a time.
        if (static_cast<std::size_t>(n) == size) wantedSize_ = std::max(wantedSize_, size * 2);
        data.assign(buffer.get(), static_cast<std::size_t>(n));
    } else if (n < 0) {
        error = std::error_code(errno, std::system_category());
    }
    const bool ended = n == 0;
    if (later)
        asio::post(queue_->wrap([self = shared_from_this(), handler = std::move(handler), data = std::move(data), ended,
                                 error]() mutable { handler(std::move(data), ended, error); }));
    else
        handler(std::move(data), ended, error);
    return true;
}

void TCPConnection::send(std::string data, SendHandler handler) {
    enqueue(Outgoing{nullptr, std::move(data), 0, std::move(handler)});
}

void TCPConnection::sendShared(std::shared_ptr<const std::string> data, SendHandler handler) {
    enqueue(Outgoing{std::move(data), {}, 0, std::move(handler)});
}

void TCPConnection::sendFile(std::shared_ptr<const sys::FileDescriptor> file, std::uint64_t offset,
                             std::uint64_t length, SendHandler done, ProgressHandler progress) {
    Outgoing item;
    item.done = std::move(done);
    item.file = std::move(file);
    item.fileOffset = offset;
    item.fileLeft = length;
    item.progress = std::move(progress);
    enqueue(std::move(item));
}

void TCPConnection::report(SendHandler done, std::error_code error) {
    if (done) asio::post(queue_->wrap([done = std::move(done), error] { done(error); }));
}

std::size_t TCPConnection::writeNow(std::string_view bytes, std::error_code& error) {
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t n =
            ::send(socket_.native_handle(), bytes.data() + total, bytes.size() - total, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) error = std::error_code(errno, std::system_category());
        break;
    }
    return total;
}

void TCPConnection::enqueue(Outgoing item) {
    std::unique_lock lock(mutex_);
    if (cancelled_) {
        lock.unlock();
        report(std::move(item.done), standardError(asio::error::operation_aborted));
        return;
    }
    if (!writing_ && item.file) {
        // The socket's non-blocking mode is the queue's to change.
        writing_ = true;
        queued_.fetch_add(item.pending(), std::memory_order_relaxed);
        outgoing().push_back(std::move(item));
        lock.unlock();
        onQueue([self = shared_from_this()] { self->writeNext(); });
        return;
    }
    if (!writing_) {
        // Nothing waits: the system takes what it can now.
        std::error_code error;
        const std::string_view bytes = item.rest();
        const std::size_t n = writeNow(bytes, error);
        if (error || n == bytes.size()) {
            lock.unlock();
            report(std::move(item.done), error);
            return;
        }
        item.offset += n;
        writing_ = true;
        queued_.fetch_add(item.pending(), std::memory_order_relaxed);
        if (!item.shared && item.offset > 0) {
            item.owned.erase(0, item.offset);
            item.offset = 0;
        }
        outgoing().push_back(std::move(item));
        lock.unlock();
        onQueue([self = shared_from_this()] { self->writeNext(); });
        return;
    }
    queued_.fetch_add(item.pending(), std::memory_order_relaxed);
    outgoing().push_back(std::move(item));
}

// On the queue, with writing_ set and outgoing_ not empty.
void TCPConnection::writeNext() {
    std::unique_lock lock(mutex_);
    if (outgoing_->front().file) {
        lock.unlock();
        writeFile();
        return;
    }
    const std::string_view bytes = outgoing_->front().rest();
    // Elements of a deque stay where they are while others come and go, so
    // the bytes outlive the write.
    asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                      queue_->wrap([self = shared_from_this()](asio::error_code ec, std::size_t) {
                          self->written(standardError(ec));
                      }));
}

void TCPConnection::writeFile() {
    std::error_code error;
    ProgressHandler progress;
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        Outgoing& item = outgoing_->front();
        if (!socket_.is_open()) {
            error = standardError(asio::error::operation_aborted);
        } else if (!socket_.native_non_blocking()) {
            asio::error_code ec;
            socket_.native_non_blocking(true, ec);
            error = standardError(ec);
        }
        std::uint64_t moved = 0;
        bool full = false;
        while (!error && item.fileLeft > 0 && moved < kFileTurn) {
            off_t at = static_cast<off_t>(item.fileOffset);
            const ssize_t n = ::sendfile(socket_.native_handle(), item.file->get(), &at,
                                         static_cast<std::size_t>(std::min(item.fileLeft, kFileTurn - moved)));
            if (n > 0) {
                item.fileOffset += static_cast<std::uint64_t>(n);
                item.fileLeft -= static_cast<std::uint64_t>(n);
                moved += static_cast<std::uint64_t>(n);
                queued_.fetch_sub(static_cast<std::size_t>(n), std::memory_order_relaxed);
            } else if (n == 0) {
                error = std::make_error_code(std::errc::io_error);  // the file ended before its length
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                full = true;
                break;
            } else if (errno != EINTR) {
                error = std::error_code(errno, std::system_category());
            }
        }
        if (moved > 0) progress = item.progress;
        finished = error || item.fileLeft == 0;
        if (!finished && full) {
            socket_.async_wait(asio::ip::tcp::socket::wait_write,
                               queue_->wrap([self = shared_from_this()](asio::error_code ec) {
                                   if (ec)
                                       self->written(standardError(ec));
                                   else
                                       self->writeFile();
                               }));
        } else if (!finished) {
            queue_->async([self = shared_from_this()] { self->writeFile(); });
        }
    }
    if (progress) progress();
    if (finished) written(error);
}

void TCPConnection::written(std::error_code error) {
    Outgoing done;
    std::optional<std::deque<Outgoing>> failed;
    bool more = false;
    {
        std::lock_guard lock(mutex_);
        done = std::move(outgoing_->front());
        outgoing_->pop_front();
        queued_.fetch_sub(done.pending(), std::memory_order_relaxed);
        if (error) {
            // Nothing behind a failed write can reach the peer.
            failed.swap(outgoing_);
            for (auto& item : *failed) queued_.fetch_sub(item.pending(), std::memory_order_relaxed);
        }
        more = outgoing_ && !outgoing_->empty();
        writing_ = more;
    }
    if (more) writeNext();
    if (done.done) done.done(error);
    if (failed)
        for (auto& item : *failed) report(std::move(item.done), error);
}

void TCPConnection::cancel() {
    {
        // Sends from here on fail, whichever thread makes them.
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
    }
    onQueue([self = shared_from_this()] {
        std::lock_guard lock(self->mutex_);
        asio::error_code ignored;
        // A write in flight completes with an error and fails the rest.
        self->socket_.close(ignored);
    });
}

}  // namespace veltrane::net
