#include "platform/image/QRCodeImage.h"

#include <qrencode.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/image/PNGImage.h"

namespace veltrane::image {

namespace {

struct QRcodeDeleter {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

std::string encodeGrayPNG(const std::vector<unsigned char>& pixels, int side) {
    return PNGImage::encodeGray(side, side, pixels).value_or("");
}

}  // namespace

std::string qrCodePNG(std::string_view text, int moduleSize) {
    if (text.empty() || text.size() > kMaxTextBytes || moduleSize < 1) return {};
    std::unique_ptr<QRcode, QRcodeDeleter> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_M));
    if (!code) return {};

    const int modules = code->width + 2 * kQuietZoneModules;
    if (modules > kMaxImageSide / moduleSize) return {};
    const int side = modules * moduleSize;

    std::vector<unsigned char> pixels(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 0xFF);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            // Bit 0 of each module byte is its colour; the other bits only
            // describe what the module is part of.
            if (!(code->data[y * code->width + x] & 1)) continue;
            const int left = (x + kQuietZoneModules) * moduleSize;
            const int top = (y + kQuietZoneModules) * moduleSize;
            for (int row = top; row < top + moduleSize; ++row) {
                auto* line = pixels.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(side);
                std::fill(line + left, line + left + moduleSize, 0x00);
            }
        }
    }
    return encodeGrayPNG(pixels, side);
}

}  // namespace veltrane::image
