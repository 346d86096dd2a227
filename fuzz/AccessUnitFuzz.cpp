// The NAL walk never reads past its input, and gives either nothing or
// exactly the delimiter, the parameter sets of a key picture and every NAL
// unit behind a start code. For HEVC the key-picture test reads each unit's
// header as an independent reading does: the type in bits 1-6 of its first
// byte, an IRAP type (16-23) before any malformed length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/halvorn/AccessUnit.h"
#include "platform/video/NalUnits.h"

using namespace veltrane::halvorn;
using veltrane::video::Codec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // First byte: bit 0 key picture, bit 1 HEVC, bits 2-3 how many parameter
    // sets (each 3 bytes of the input, 0xFF first byte meaning unreadable).
    const bool key = data[0] & 1;
    const Codec codec = data[0] & 2 ? Codec::hevc : Codec::h264;
    std::size_t setCount = (data[0] >> 2) & 3;
    std::size_t at = 1;
    std::vector<std::vector<std::uint8_t>> sets;
    for (std::size_t i = 0; i < setCount && at + 3 <= size; ++i, at += 3)
        sets.push_back(data[at] == 0xFF ? std::vector<std::uint8_t>{}
                                        : std::vector<std::uint8_t>(data + at, data + at + 3));
    // A copy of exactly the payload, so a read past it is caught.
    std::vector<std::uint8_t> payload(data + at, data + size);
    auto unit = buildAccessUnit(codec, key, sets, payload.data(), payload.size());

    // The expected unit, read as a string of length-prefixed pieces.
    std::string expected;
    if (codec == Codec::h264) expected.assign("\0\0\0\1\x09\xF0", 6);
    if (key)
        for (std::size_t i = 0; i < sets.size() && i < (codec == Codec::h264 ? 2u : 3u); ++i)
            if (!sets[i].empty()) expected += std::string("\0\0\0\1", 4) + std::string(sets[i].begin(), sets[i].end());
    std::string rest(payload.begin(), payload.end());
    bool malformed = false;
    bool irapBeforeAnyFault = false;
    while (rest.size() >= 4) {
        unsigned long long length = 0;
        for (int i = 0; i < 4; ++i) length = length * 256 + static_cast<unsigned char>(rest[i]);
        if (length == 0 || length + 4 > rest.size()) {
            malformed = true;
            break;
        }
        expected += std::string("\0\0\0\1", 4) + rest.substr(4, length);
        // The header's first byte: forbidden bit, six type bits, a layer bit.
        const unsigned header = static_cast<unsigned char>(rest[4]);
        const unsigned type = (header & 0x7E) / 2;
        if (static_cast<unsigned>(veltrane::video::hevcNalType(static_cast<std::uint8_t>(header))) != type)
            std::abort();
        if (type >= 16 && type <= 23) irapBeforeAnyFault = true;
        rest.erase(0, 4 + length);
    }
    if (malformed != !unit.has_value()) std::abort();
    if (veltrane::video::isHEVCKeyPicture(payload.data(), payload.size()) != irapBeforeAnyFault) std::abort();
    if (unit && std::string(unit->begin(), unit->end()) != expected) std::abort();
    auto prefix = lengthPrefix(expected.size());
    if (prefix.size() != 4 ||
        (static_cast<std::size_t>(prefix[0]) << 24 | prefix[1] << 16 | prefix[2] << 8 | prefix[3]) !=
            (expected.size() & 0xFFFFFFFFu))
        std::abort();
    return 0;
}
