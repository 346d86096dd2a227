#include "platform/video/NalUnits.h"

namespace veltrane::video {

bool isHEVCKeyPicture(const std::uint8_t* data, std::size_t size) {
    std::size_t offset = 0;
    while (size - offset >= 4) {
        std::size_t length = (static_cast<std::size_t>(data[offset]) << 24) |
                             (static_cast<std::size_t>(data[offset + 1]) << 16) |
                             (static_cast<std::size_t>(data[offset + 2]) << 8) | data[offset + 3];
        if (length == 0 || length > size - offset - 4) return false;
        if (isHEVCRandomAccessPoint(hevcNalType(data[offset + 4]))) return true;
        offset += 4 + length;
    }
    return false;
}

}  // namespace veltrane::video
