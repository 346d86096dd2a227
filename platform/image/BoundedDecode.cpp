#include "platform/image/BoundedDecode.h"

#include "platform/image/JPEGImage.h"
#include "platform/image/PNGImage.h"

namespace veltrane::image {

bool hasJPEGSignature(std::string_view bytes) { return bytes.substr(0, 2) == "\xFF\xD8"; }
bool hasPNGSignature(std::string_view bytes) { return bytes.substr(0, 8) == "\x89PNG\r\n\x1A\n"; }

std::optional<RGBAImage> decodeWithin(std::string_view bytes, DecodeBounds bounds) {
    const bool jpeg = hasJPEGSignature(bytes);
    std::optional<ImageSize> size;
    if (jpeg)
        size = JPEGImage::size(bytes);
    else if (hasPNGSignature(bytes))
        size = PNGImage::size(bytes);
    if (!size || size->width <= 0 || size->height <= 0) return std::nullopt;
    if (size->width > bounds.maxSide || size->height > bounds.maxSide ||
        static_cast<long long>(size->width) * size->height > bounds.maxPixels)
        return std::nullopt;
    return jpeg ? JPEGImage::decode(bytes) : PNGImage::decode(bytes);
}

}  // namespace veltrane::image
