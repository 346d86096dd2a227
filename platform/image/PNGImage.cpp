#include "platform/image/PNGImage.h"

#include <png.h>

#include <cstdint>
#include <cstring>

namespace veltrane::image {

namespace {

std::optional<std::string> write(int width, int height, png_uint_32 format, const std::vector<std::uint8_t>& pixels) {
    if (width <= 0 || height <= 0 || width > PNGImage::kMaxSide || height > PNGImage::kMaxSide) return std::nullopt;
    const std::size_t stride = static_cast<std::size_t>(width) * PNG_IMAGE_PIXEL_SIZE(format);
    if (pixels.size() != stride * static_cast<std::size_t>(height)) return std::nullopt;

    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = format;

    // First pass measures, second writes.
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    std::string bytes(size, '\0');
    if (!png_image_write_to_memory(&png, bytes.data(), &size, 0, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace

std::optional<std::string> PNGImage::encode(const RGBAImage& image) {
    return write(image.width, image.height, PNG_FORMAT_RGBA, image.pixels);
}

std::optional<std::string> PNGImage::encodeGray(int width, int height, const std::vector<std::uint8_t>& pixels) {
    return write(width, height, PNG_FORMAT_GRAY, pixels);
}

std::optional<ImageSize> PNGImage::size(std::string_view bytes) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) return std::nullopt;
    ImageSize size;
    const bool fits = png.width <= static_cast<png_uint_32>(INT32_MAX) && png.height <= static_cast<png_uint_32>(INT32_MAX);
    size.width = fits ? static_cast<int>(png.width) : INT32_MAX;
    size.height = fits ? static_cast<int>(png.height) : INT32_MAX;
    png_image_free(&png);
    return size;
}

std::optional<RGBAImage> PNGImage::decode(std::string_view bytes) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) return std::nullopt;
    if (png.width == 0 || png.height == 0 || png.width > kMaxSide || png.height > kMaxSide) {
        png_image_free(&png);
        return std::nullopt;
    }
    png.format = PNG_FORMAT_RGBA;
    RGBAImage image;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    return image;
}

}  // namespace veltrane::image
