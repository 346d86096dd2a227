#include "platform/net/TCPConnection.h"

#include <algorithm>

#include <asio/write.hpp>

#include "platform/net/EventLoop.h"

namespace veltrane::net {

namespace {
constexpr std::size_t kFirstReadSize = 8 * 1024;

std::string printHost(const asio::ip::tcp::socket& socket) {
    asio::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    if (ec) return {};
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}
}  // namespace

std::error_code standardError(const std::error_code& error) {
    if (error && error.category() == asio::error::get_system_category())
        return std::error_code(error.value(), std::system_category());
    return error;
}

std::shared_ptr<TCPConnection> TCPConnection::create(asio::ip::tcp::socket socket, std::string label) {
    auto queue = StrandQueue::create(std::move(label), EventLoop::shared().context());
    return std::shared_ptr<TCPConnection>(new TCPConnection(std::move(socket), std::move(queue)));
}

TCPConnection::TCPConnection(asio::ip::tcp::socket socket, std::shared_ptr<StrandQueue> queue)
    : queue_(std::move(queue)), queueBase_(queue_), socket_(std::move(socket)), remoteHost_(printHost(socket_)) {}

template <class F>
void TCPConnection::onQueue(F fn) {
    if (queue_->isCurrent())
        fn();
    else
        queue_->async(std::move(fn));
}

void TCPConnection::receive(std::size_t maximumLength, ReceiveHandler handler) {
    onQueue([self = shared_from_this(), maximumLength, handler = std::move(handler)]() mutable {
        self->startReceive(maximumLength, std::move(handler));
    });
}

void TCPConnection::startReceive(std::size_t maximumLength, ReceiveHandler handler) {
    if (cancelled_) {
        queue_->async([handler = std::move(handler)] {
            handler({}, false, standardError(asio::error::operation_aborted));
        });
        return;
    }
    maximumLength = std::max<std::size_t>(1, maximumLength);
    const std::size_t size = std::min(maximumLength, std::max(wantedSize_, kFirstReadSize));
    if (size > scratchSize_) {
        scratch_.reset(new char[size]);
        scratchSize_ = size;
    }
    socket_.async_read_some(
        asio::buffer(scratch_.get(), size),
        queue_->wrap([self = shared_from_this(), size, handler = std::move(handler)](asio::error_code ec, std::size_t n) {
            if (ec == asio::error::eof) {
                handler({}, true, {});
                return;
            }
            if (ec) {
                handler({}, false, standardError(ec));
                return;
            }
            // A read that filled its buffer: the peer sends faster than we
            // read, so read more at a time.
            if (n == size) self->wantedSize_ = std::max(self->wantedSize_, n * 2);
            handler(std::string(self->scratch_.get(), n), false, {});
        }));
}

void TCPConnection::send(std::string data, SendHandler handler) {
    queued_.fetch_add(data.size(), std::memory_order_relaxed);
    onQueue([self = shared_from_this(), data = std::move(data), handler = std::move(handler)]() mutable {
        if (self->cancelled_) {
            self->queued_.fetch_sub(data.size(), std::memory_order_relaxed);
            if (handler)
                self->queue_->async([handler = std::move(handler)] {
                    handler(standardError(asio::error::operation_aborted));
                });
            return;
        }
        self->outgoing_.push_back({std::move(data), std::move(handler)});
        if (!self->writing_) self->writeNext();
    });
}

void TCPConnection::writeNext() {
    writing_ = true;
    asio::async_write(socket_, asio::buffer(outgoing_.front().data),
                      queue_->wrap([self = shared_from_this()](asio::error_code ec, std::size_t) {
                          Outgoing done = std::move(self->outgoing_.front());
                          self->outgoing_.pop_front();
                          self->queued_.fetch_sub(done.data.size(), std::memory_order_relaxed);
                          self->writing_ = false;
                          if (ec) {
                              // Nothing behind a failed write can reach the peer.
                              self->failQueued(ec);
                          } else if (!self->outgoing_.empty()) {
                              self->writeNext();
                          }
                          if (done.done) done.done(standardError(ec));
                      }));
}

void TCPConnection::failQueued(std::error_code error) {
    auto failed = std::move(outgoing_);
    outgoing_.clear();
    for (auto& item : failed) {
        queued_.fetch_sub(item.data.size(), std::memory_order_relaxed);
        if (item.done) queue_->async([done = std::move(item.done), error = standardError(error)] { done(error); });
    }
}

void TCPConnection::cancel() {
    onQueue([self = shared_from_this()] {
        if (self->cancelled_) return;
        self->cancelled_ = true;
        asio::error_code ignored;
        self->socket_.close(ignored);
        // A write in flight completes with an error and fails the rest.
        if (!self->writing_) self->failQueued(asio::error::operation_aborted);
    });
}

}  // namespace veltrane::net
