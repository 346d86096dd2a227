// Whatever the bytes, the artwork for tablets is nothing, the input itself
// when it is a small JPEG, or a JPEG within 600 × 600 pixels and 220,000
// bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/image/JPEGImage.h"

namespace QQNowPlaying = veltrane::media::QQNowPlaying;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto artwork = QQNowPlaying::displayArtwork(input);
    if (!artwork) return 0;
    if (*artwork == input && size < QQNowPlaying::kMaxOutputBytes && input.substr(0, 2) == "\xFF\xD8") return 0;
    if (artwork->size() >= QQNowPlaying::kMaxOutputBytes) std::abort();
    const auto dimensions = veltrane::image::JPEGImage::size(*artwork);
    if (!dimensions || dimensions->width < 1 || dimensions->height < 1 ||
        dimensions->width > QQNowPlaying::kMaxOutputSide || dimensions->height > QQNowPlaying::kMaxOutputSide)
        std::abort();
    if (!veltrane::image::JPEGImage::decode(*artwork)) std::abort();
    return 0;
}
