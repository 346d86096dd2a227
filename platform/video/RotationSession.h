#pragma once
// A quarter turn clockwise of NV12 pictures: the left side goes to the top.
// A W x H picture becomes H x W; luma turns byte by byte, chroma by its Cb/Cr
// pairs.

#include <atomic>

#include "platform/video/PixelBuffer.h"

namespace veltrane::video {

// 0, or -1 when `destination` is not `source` turned (height x width) or a
// size is odd (4:2:0 has no half chroma sample).
int rotateClockwise(const PixelBuffer& source, PixelBuffer& destination);

// The session the capture turns its pictures with; after `invalidate` (from
// any thread) every rotation fails.
class RotationSession {
public:
    int rotate(const PixelBuffer& source, PixelBuffer& destination) const {
        return valid_.load() ? rotateClockwise(source, destination) : -1;
    }
    void invalidate() { valid_ = false; }

private:
    std::atomic<bool> valid_ = true;
};

}  // namespace veltrane::video
