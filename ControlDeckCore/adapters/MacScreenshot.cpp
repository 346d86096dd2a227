#include "ControlDeckCore/adapters/MacScreenshot.h"

#include <fstream>
#include <iterator>

#include "ControlDeckCore/shared/DeckError.h"
#include "platform/system/TemporaryFolder.h"
#include "platform/system/UUID.h"
#include "platform/x11/ScreenCapture.h"

namespace veltrane::deck {

MacScreenshot::MacScreenshot() : capturer_(x11::ScreenCapture::writePNG) {}

PNGData MacScreenshot::capture(const std::string& mode) {
    // The folder (and the file in it) is removed however this ends.
    auto folder = sys::TemporaryFolder::create("deck-");
    if (!folder) throw DeckError::permissionDenied("Screen Recording");
    const auto file = folder->path() / ("deck-" + sys::uuidString() + ".png");

    if (capturer_(mode == "window", file)) {
        std::error_code error;
        auto size = std::filesystem::file_size(file, error);
        if (!error && size > kMaxUnusableBytes) {
            std::ifstream in(file, std::ios::binary);
            PNGData bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (bytes.size() > kMaxUnusableBytes) return bytes;
        }
    }
    throw DeckError::permissionDenied("Screen Recording");
}

}  // namespace veltrane::deck
