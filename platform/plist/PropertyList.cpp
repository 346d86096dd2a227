#include "platform/plist/PropertyList.h"

#include <plist/plist.h>

#include <cstring>
#include <limits>
#include <memory>

namespace veltrane::plist {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kTrailerBytes = 32;

std::uint64_t bigEndian(const unsigned char* at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | at[i];
    return value;
}

// The binary list's object table, only as far as nesting goes: which
// objects each container refers to.
class BinaryTables {
public:
    static std::optional<BinaryTables> open(std::string_view bytes) {
        if (bytes.size() < kBinaryMagic.size() + kTrailerBytes || bytes.substr(0, kBinaryMagic.size()) != kBinaryMagic)
            return std::nullopt;
        BinaryTables tables;
        tables.data_ = reinterpret_cast<const unsigned char*>(bytes.data());
        tables.size_ = bytes.size();
        const unsigned char* trailer = tables.data_ + bytes.size() - kTrailerBytes;
        tables.offsetBytes_ = trailer[6];
        tables.refBytes_ = trailer[7];
        tables.count_ = bigEndian(trailer + 8, 8);
        tables.top_ = bigEndian(trailer + 16, 8);
        tables.table_ = bigEndian(trailer + 24, 8);
        if (tables.offsetBytes_ < 1 || tables.offsetBytes_ > 8 || tables.refBytes_ < 1 || tables.refBytes_ > 8)
            return std::nullopt;
        const std::uint64_t end = bytes.size() - kTrailerBytes;
        if (tables.top_ >= tables.count_ || tables.table_ > end ||
            tables.count_ > (end - tables.table_) / tables.offsetBytes_)
            return std::nullopt;
        return tables;
    }

    std::uint64_t count() const { return count_; }
    std::uint64_t top() const { return top_; }

    // An object's marker: its kind (high nibble), the low nibble, and for
    // sized kinds the entry count and where the entries begin.
    struct Header {
        unsigned kind = 0;
        unsigned low = 0;
        std::uint64_t count = 0;
        std::uint64_t at = 0;
    };
    std::optional<Header> header(std::uint64_t object) const {
        const std::uint64_t offset = bigEndian(data_ + table_ + object * offsetBytes_, offsetBytes_);
        if (offset >= table_) return std::nullopt;
        Header header;
        header.kind = data_[offset] >> 4;
        header.low = data_[offset] & 0x0F;
        header.count = header.low;
        header.at = offset + 1;
        const bool sized = header.kind >= 0x4 && header.kind != 0x8 && header.kind != 0x9;
        if (sized && header.low == 0x0F) {
            if (header.at >= table_) return std::nullopt;
            const unsigned char sizeMarker = data_[header.at];
            if ((sizeMarker >> 4) != 0x1) return std::nullopt;
            const std::uint64_t sizeBytes = 1ull << (sizeMarker & 0x0F);
            if (sizeBytes > 8 || header.at + 1 + sizeBytes > table_) return std::nullopt;
            header.count = bigEndian(data_ + header.at + 1, sizeBytes);
            header.at += 1 + sizeBytes;
        }
        return header;
    }

    static std::uint64_t referencesPerEntry(unsigned kind) {
        if (kind == 0xA || kind == 0xB || kind == 0xC) return 1;
        return kind == 0xD ? 2 : 0;
    }

    // The objects a container names (a dictionary's keys, then its values),
    // read in place; none for scalars. Each still has to be checked
    // against count().
    struct References {
        const unsigned char* at = nullptr;
        std::uint64_t size = 0;
        unsigned width = 0;
        std::uint64_t operator[](std::uint64_t i) const { return bigEndian(at + i * width, width); }
    };
    // None for a table that points outside the file.
    std::optional<References> references(std::uint64_t object) const {
        const auto found = header(object);
        if (!found) return std::nullopt;
        const std::uint64_t perEntry = referencesPerEntry(found->kind);
        if (perEntry == 0) return References{};
        if (found->count > (table_ - found->at) / refBytes_ / perEntry) return std::nullopt;
        return References{data_ + found->at, found->count * perEntry, refBytes_};
    }

    // Bytes of the object area; none past it.
    const unsigned char* bytes(std::uint64_t at, std::uint64_t length) const {
        if (at > table_ || length > table_ - at) return nullptr;
        return data_ + at;
    }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    unsigned offsetBytes_ = 0;
    unsigned refBytes_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t table_ = 0;
};

// Every object's expanded size and depth, each worked out once.
class BinaryMeasure {
public:
    BinaryMeasure(const BinaryTables& tables, const Limits& limits)
        : tables_(tables), limits_(limits), state_(tables.count()) {}

    std::optional<Shape> run() {
        if (!visit(tables_.top(), 0)) return std::nullopt;
        const auto& top = state_[tables_.top()];
        return Shape{top.nodes, top.depth};
    }

private:
    enum class Mark : std::uint8_t { unseen, open, done };
    struct State {
        Mark mark = Mark::unseen;
        std::size_t nodes = 0;
        int depth = 0;
    };

    bool visit(std::uint64_t object, int level) {
        State& state = state_[object];
        if (state.mark == Mark::done) return true;
        if (state.mark == Mark::open) return false;  // a cycle
        if (level > limits_.maxDepth) return false;
        state.mark = Mark::open;
        const auto refs = tables_.references(object);
        if (!refs) return false;
        std::size_t nodes = 1;
        int depth = 0;
        for (std::uint64_t i = 0; i < refs->size; ++i) {
            const std::uint64_t ref = (*refs)[i];
            if (ref >= tables_.count() || !visit(ref, level + 1)) return false;
            const State& child = state_[ref];
            nodes += child.nodes;
            if (nodes > limits_.maxNodes) return false;
            depth = std::max(depth, child.depth + 1);
        }
        State& done = state_[object];
        done.mark = Mark::done;
        done.nodes = nodes;
        done.depth = depth;
        return depth <= limits_.maxDepth;
    }

    const BinaryTables& tables_;
    const Limits& limits_;
    std::vector<State> state_;
};

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 big-endian as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string fromUTF16(const unsigned char* at, std::uint64_t units) {
    std::string out;
    out.reserve(units * 3);
    for (std::uint64_t i = 0; i < units; ++i) {
        char32_t c = static_cast<char32_t>(bigEndian(at + 2 * i, 2));
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const auto low = static_cast<char32_t>(bigEndian(at + 2 * i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUTF8(out, c);
    }
    return out;
}

// The binary form read by us rather than libplist: libplist 2.2 spends most
// of a large archive's time zeroing allocations, several times what the
// whole reading of ours costs. Every value counts against the limits as it
// is made, so shared objects, cycles (endless depth) and deep nesting end
// the reading as the measure would refuse them.
class BinaryDecoder {
public:
    BinaryDecoder(const BinaryTables& tables, const Limits& limits) : tables_(tables), limits_(limits) {}

    std::optional<Value> decode(std::uint64_t object, int level = 0) {
        if (object >= tables_.count() || level > limits_.maxDepth || ++nodes_ > limits_.maxNodes) return std::nullopt;
        const auto header = tables_.header(object);
        if (!header) return std::nullopt;
        switch (header->kind) {
            case 0x0:
                if (header->low == 0x8 || header->low == 0x9) return Value{header->low == 0x9};
                return Value{Other{}};
            case 0x1: {
                const std::uint64_t length = 1ull << header->low;
                const auto* at = tables_.bytes(header->at, length);
                if (!at || length > 16) return std::nullopt;
                // 16-byte integers keep their low 64 bits; shorter ones are unsigned
                // but for the 8-byte form, which is two's complement.
                const std::uint64_t bits = length == 16 ? bigEndian(at + 8, 8) : bigEndian(at, length);
                return Value{static_cast<std::int64_t>(bits)};
            }
            case 0x2: {
                const std::uint64_t length = 1ull << header->low;
                const auto* at = tables_.bytes(header->at, length);
                if (!at || (length != 4 && length != 8)) return std::nullopt;
                const std::uint64_t bits = bigEndian(at, length);
                if (length == 4) {
                    float single;
                    const auto narrow = static_cast<std::uint32_t>(bits);
                    std::memcpy(&single, &narrow, sizeof single);
                    return Value{static_cast<double>(single)};
                }
                double real;
                std::memcpy(&real, &bits, sizeof real);
                return Value{real};
            }
            case 0x5: {
                const auto* at = tables_.bytes(header->at, header->count);
                if (!at) return std::nullopt;
                return Value{std::string(reinterpret_cast<const char*>(at), header->count)};
            }
            case 0x6: {
                if (header->count > std::numeric_limits<std::uint64_t>::max() / 2) return std::nullopt;
                const auto* at = tables_.bytes(header->at, header->count * 2);
                if (!at) return std::nullopt;
                return Value{fromUTF16(at, header->count)};
            }
            case 0x8: {
                const std::uint64_t length = header->low + 1;
                const auto* at = tables_.bytes(header->at, length);
                if (!at || length > 8) return std::nullopt;
                return Value{Uid{bigEndian(at, length)}};
            }
            case 0xA:
            case 0xB:
            case 0xC:
            case 0xD: return container(object, header->kind == 0xD, level);
            default: return Value{Other{}};  // dates, data
        }
    }

private:
    std::optional<Value> container(std::uint64_t object, bool dictionary, int level) {
        const auto refs = tables_.references(object);
        if (!refs) return std::nullopt;
        if (!dictionary) {
            Array array;
            array.reserve(refs->size);
            for (std::uint64_t i = 0; i < refs->size; ++i) {
                auto item = decode((*refs)[i], level + 1);
                if (!item) return std::nullopt;
                array.push_back(std::move(*item));
            }
            return Value{std::move(array)};
        }
        const std::uint64_t entries = refs->size / 2;
        Dictionary entriesOut;
        entriesOut.reserve(entries);
        for (std::uint64_t i = 0; i < entries; ++i) {
            auto key = decode((*refs)[i], level + 1);
            if (!key || !key->string()) return std::nullopt;  // keys are texts
            auto item = decode((*refs)[entries + i], level + 1);
            if (!item) return std::nullopt;
            entriesOut.push_back({std::get<std::string>(std::move(key->value)), std::move(*item)});
        }
        return Value{std::move(entriesOut)};
    }

    const BinaryTables& tables_;
    const Limits& limits_;
    std::size_t nodes_ = 0;
};

// Start tags and their nesting, with comments, processing instructions,
// declarations and character data skipped and quoted attribute values read
// through, as an XML reader sees them.
std::optional<Shape> measureXML(std::string_view text, const Limits& limits) {
    Shape shape;
    int depth = 0;
    std::size_t at = 0;
    const auto skipPast = [&](std::string_view end) {
        const auto found = text.find(end, at);
        at = found == std::string_view::npos ? text.size() : found + end.size();
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = text.substr(at);
        if (rest.starts_with("<!--")) {
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            skipPast("?>");
        } else if (rest.starts_with("<!")) {
            skipPast(">");
        } else if (rest.starts_with("</")) {
            depth = std::max(0, depth - 1);
            skipPast(">");
        } else {
            ++at;
            char quote = 0;
            bool closed = false;
            for (; at < text.size(); ++at) {
                const char c = text[at];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    closed = text[at - 1] == '/';
                    ++at;
                    break;
                }
            }
            if (++shape.nodes > limits.maxNodes) return std::nullopt;
            if (!closed) shape.depth = std::max(shape.depth, ++depth);
        }
    }
    // <plist> itself wraps the top value without being one of its levels.
    shape.depth = std::max(0, shape.depth - 1);
    if (shape.depth > limits.maxDepth) return std::nullopt;
    return shape;
}

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using OwnedPlist = std::unique_ptr<void, PlistFree>;

std::string stringOf(plist_t node) {
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, length) : std::string();
}

class Converter {
public:
    explicit Converter(const Limits& limits) : limits_(limits) {}

    std::optional<Value> convert(plist_t node, int depth) {
        if (++nodes_ > limits_.maxNodes || depth > limits_.maxDepth) return std::nullopt;
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                std::uint8_t flag = 0;
                plist_get_bool_val(node, &flag);
                return Value{flag != 0};
            }
            case PLIST_UINT: {
                std::uint64_t number = 0;
                plist_get_uint_val(node, &number);
                // Negative integers come back in two's complement.
                return Value{static_cast<std::int64_t>(number)};
            }
            case PLIST_REAL: {
                double number = 0;
                plist_get_real_val(node, &number);
                return Value{number};
            }
            case PLIST_STRING: return Value{stringOf(node)};
            case PLIST_UID: {
                std::uint64_t index = 0;
                plist_get_uid_val(node, &index);
                return Value{Uid{index}};
            }
            case PLIST_ARRAY: {
                // By iterator: libplist finds an item by index from the front.
                Array array;
                array.reserve(plist_array_get_size(node));
                plist_array_iter iterator = nullptr;
                plist_array_new_iter(node, &iterator);
                if (!iterator) return Value{std::move(array)};
                std::unique_ptr<void, decltype(&std::free)> owned(iterator, &std::free);
                for (;;) {
                    plist_t item = nullptr;
                    plist_array_next_item(node, iterator, &item);
                    if (!item) break;
                    auto converted = convert(item, depth + 1);
                    if (!converted) return std::nullopt;
                    array.push_back(std::move(*converted));
                }
                return Value{std::move(array)};
            }
            case PLIST_DICT: {
                Dictionary dictionary;
                plist_dict_iter iterator = nullptr;
                plist_dict_new_iter(node, &iterator);
                if (!iterator) return Value{std::move(dictionary)};
                std::unique_ptr<void, decltype(&std::free)> owned(iterator, &std::free);
                for (;;) {
                    char* key = nullptr;
                    plist_t item = nullptr;
                    plist_dict_next_item(node, iterator, &key, &item);
                    if (!item) {
                        std::free(key);
                        break;
                    }
                    std::string name = key ? key : "";
                    std::free(key);
                    ++nodes_;  // the key
                    auto converted = convert(item, depth + 1);
                    if (!converted) return std::nullopt;
                    dictionary.push_back({std::move(name), std::move(*converted)});
                }
                return Value{std::move(dictionary)};
            }
            default: return Value{Other{}};
        }
    }

private:
    const Limits& limits_;
    std::size_t nodes_ = 0;
};

}  // namespace

const Value* Value::find(std::string_view key) const {
    const auto* entries = dictionary();
    if (!entries) return nullptr;
    for (const auto& entry : *entries)
        if (entry.key == key) return &entry.value;
    return nullptr;
}

std::optional<Shape> measure(std::string_view bytes, const Limits& limits) {
    if (auto tables = BinaryTables::open(bytes)) return BinaryMeasure(*tables, limits).run();
    if (bytes.starts_with(kBinaryMagic)) return std::nullopt;
    return measureXML(bytes, limits);
}

std::optional<Value> parse(std::string_view bytes, const Limits& limits) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (const auto tables = BinaryTables::open(bytes)) return BinaryDecoder(*tables, limits).decode(tables->top());
    // XML has no U+0000, and libplist asserts (ending the process) on a text
    // whose length its own strlen disagrees with.
    if (bytes.starts_with(kBinaryMagic) || bytes.find('\0') != std::string_view::npos || !measure(bytes, limits))
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    OwnedPlist owned(root);
    return Converter(limits).convert(root, 0);
}

}  // namespace veltrane::plist
