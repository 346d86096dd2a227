#pragma once
// A fixed number of same-size NV12 pictures handed out in turn. A picture
// comes back to the pool when its last user lets go of it, on any thread;
// when every one is out the pool has none to give.

#include <cstddef>
#include <memory>

#include "platform/video/PixelBuffer.h"

namespace veltrane::video {

class PixelBufferPool {
public:
    // Pictures are made on first need and start black.
    PixelBufferPool(int width, int height, std::size_t capacity);

    // Null when all `capacity` pictures are in use.
    std::shared_ptr<PixelBuffer> take();

    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Shelf;
    int width_;
    int height_;
    std::shared_ptr<Shelf> shelf_;
};

}  // namespace veltrane::video
