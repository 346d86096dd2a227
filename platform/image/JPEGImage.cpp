#include "platform/image/JPEGImage.h"

// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <csetjmp>
#include <jpeglib.h>

namespace veltrane::image {

namespace {

// libjpeg reports a fatal error by calling error_exit, which by default ends
// the process: jump back to the call instead.
struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void jumpOut(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1); }
void ignoreMessage(j_common_ptr, int) {}

void installErrors(ErrorJump& errors) {
    jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpOut;
    errors.manager.emit_message = ignoreMessage;
}

// Only C frames and the objects passed in live between setjmp and a jump
// back, so nothing with a destructor is skipped.
bool readHeader(jpeg_decompress_struct* info, ErrorJump* errors, std::string_view bytes) {
    if (setjmp(errors->jump)) return false;
    jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    return jpeg_read_header(info, TRUE) == JPEG_HEADER_OK;
}

bool readPixels(jpeg_decompress_struct* info, ErrorJump* errors, RGBAImage* image) {
    if (setjmp(errors->jump)) return false;
    info->out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(info);
    image->width = static_cast<int>(info->output_width);
    image->height = static_cast<int>(info->output_height);
    const std::size_t stride = static_cast<std::size_t>(info->output_width) * 4;
    image->pixels.assign(stride * info->output_height, 0);
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = image->pixels.data() + stride * info->output_scanline;
        if (jpeg_read_scanlines(info, &row, 1) != 1) break;
    }
    jpeg_finish_decompress(info);
    return true;
}

bool writePixels(jpeg_compress_struct* info, ErrorJump* errors, const RGBAImage* image, int quality,
                 unsigned char** out, unsigned long* outSize) {
    if (setjmp(errors->jump)) return false;
    jpeg_mem_dest(info, out, outSize);
    info->image_width = static_cast<JDIMENSION>(image->width);
    info->image_height = static_cast<JDIMENSION>(image->height);
    info->input_components = 4;
    info->in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, quality, TRUE);
    jpeg_start_compress(info, TRUE);
    const std::size_t stride = static_cast<std::size_t>(image->width) * 4;
    while (info->next_scanline < info->image_height) {
        auto* row = const_cast<JSAMPROW>(image->pixels.data() + stride * info->next_scanline);
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    return true;
}

struct Decompressor {
    jpeg_decompress_struct info{};
    ErrorJump errors{};
    Decompressor() {
        installErrors(errors);
        info.err = &errors.manager;
        jpeg_create_decompress(&info);
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

bool startsJPEG(std::string_view bytes) {
    return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF;
}

}  // namespace

std::optional<ImageSize> JPEGImage::size(std::string_view bytes) {
    if (!startsJPEG(bytes)) return std::nullopt;
    Decompressor d;
    if (!readHeader(&d.info, &d.errors, bytes)) return std::nullopt;
    return ImageSize{static_cast<int>(d.info.image_width), static_cast<int>(d.info.image_height)};
}

std::optional<RGBAImage> JPEGImage::decode(std::string_view bytes) {
    if (!startsJPEG(bytes)) return std::nullopt;
    Decompressor d;
    if (!readHeader(&d.info, &d.errors, bytes)) return std::nullopt;
    if (d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK) return std::nullopt;
    RGBAImage image;
    if (!readPixels(&d.info, &d.errors, &image)) return std::nullopt;
    if (image.width <= 0 || image.height <= 0) return std::nullopt;
    return image;
}

std::optional<std::string> JPEGImage::encode(const RGBAImage& image, int quality) {
    if (image.width <= 0 || image.height <= 0 || image.width > JPEG_MAX_DIMENSION ||
        image.height > JPEG_MAX_DIMENSION || quality < 1 || quality > 100)
        return std::nullopt;
    if (image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4)
        return std::nullopt;
    jpeg_compress_struct info{};
    ErrorJump errors{};
    installErrors(errors);
    info.err = &errors.manager;
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    const bool written = writePixels(&info, &errors, &image, quality, &out, &outSize);
    jpeg_destroy_compress(&info);
    std::optional<std::string> bytes;
    if (written && out) bytes.emplace(reinterpret_cast<const char*>(out), outSize);
    std::free(out);
    return bytes;
}

}  // namespace veltrane::image
