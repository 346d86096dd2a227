#include "platform/video/PixelBufferPool.h"

#include <mutex>
#include <vector>

namespace veltrane::video {

struct PixelBufferPool::Shelf {
    std::mutex mutex;
    std::vector<std::unique_ptr<PixelBuffer>> free;  // under mutex
    std::size_t made = 0;                            // under mutex
    std::size_t capacity = 0;
};

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), shelf_(std::make_shared<Shelf>()) {
    shelf_->capacity = capacity;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::take() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(shelf_->mutex);
        if (!shelf_->free.empty()) {
            buffer = std::move(shelf_->free.back());
            shelf_->free.pop_back();
        } else if (shelf_->made < shelf_->capacity) {
            ++shelf_->made;
        } else {
            return nullptr;
        }
    }
    if (buffer == nullptr) {
        buffer = std::make_unique<PixelBuffer>(width_, height_);
        buffer->fillBlack();
    }
    // Handed back under the lock, which orders the last user's reads and
    // writes before the next taker's; a pool that is gone frees it.
    std::weak_ptr<Shelf> weakShelf = shelf_;
    return std::shared_ptr<PixelBuffer>(buffer.release(), [weakShelf](PixelBuffer* returned) {
        std::unique_ptr<PixelBuffer> owned(returned);
        if (auto shelf = weakShelf.lock()) {
            std::lock_guard lock(shelf->mutex);
            shelf->free.push_back(std::move(owned));
        }
    });
}

}  // namespace veltrane::video
