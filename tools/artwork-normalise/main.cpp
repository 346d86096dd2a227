// artwork-normalise IN OUT
// Writes the cover tablets would get for the image IN to OUT and exits 0, or
// writes nothing and exits 1 when there is none.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ControlDeckCore/media/QQNowPlaying.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: artwork-normalise IN OUT\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "artwork-normalise: cannot read %s\n", argv[1]);
        return 1;
    }
    // One byte past the limit is enough to know the input is too long.
    std::string bytes;
    bytes.resize(veltrane::media::QQNowPlaying::kMaxInputBytes + 1);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        std::fprintf(stderr, "artwork-normalise: cannot read %s\n", argv[1]);
        return 1;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    const auto artwork = veltrane::media::QQNowPlaying::displayArtwork(bytes);
    if (!artwork) {
        std::fprintf(stderr, "artwork-normalise: no artwork from %s\n", argv[1]);
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(artwork->data(), static_cast<std::streamsize>(artwork->size()));
    out.close();
    if (!out) {
        std::error_code ignored;
        std::filesystem::remove(argv[2], ignored);
        std::fprintf(stderr, "artwork-normalise: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
