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

    // The objects a container names (keys and values of a dictionary);
    // empty for scalars. False for a table that points outside the file.
    bool references(std::uint64_t object, std::vector<std::uint64_t>& out) const {
        out.clear();
        const std::uint64_t offset = bigEndian(data_ + table_ + object * offsetBytes_, offsetBytes_);
        if (offset >= table_) return false;
        const unsigned char marker = data_[offset];
        const unsigned kind = marker >> 4;
        std::uint64_t perEntry = 0;
        if (kind == 0xA || kind == 0xB || kind == 0xC)
            perEntry = 1;
        else if (kind == 0xD)
            perEntry = 2;
        else
            return true;
        std::uint64_t entries = marker & 0x0F;
        std::uint64_t at = offset + 1;
        if (entries == 0x0F) {
            if (at >= table_) return false;
            const unsigned char sizeMarker = data_[at];
            if ((sizeMarker >> 4) != 0x1) return false;
            const std::uint64_t sizeBytes = 1ull << (sizeMarker & 0x0F);
            if (sizeBytes > 8 || at + 1 + sizeBytes > table_) return false;
            entries = bigEndian(data_ + at + 1, sizeBytes);
            at += 1 + sizeBytes;
        }
        if (entries > (table_ - at) / refBytes_ / perEntry) return false;
        out.reserve(entries * perEntry);
        for (std::uint64_t i = 0; i < entries * perEntry; ++i) {
            const std::uint64_t ref = bigEndian(data_ + at + i * refBytes_, refBytes_);
            if (ref >= count_) return false;
            out.push_back(ref);
        }
        return true;
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
        std::vector<std::uint64_t> refs;
        if (!tables_.references(object, refs)) return false;
        std::size_t nodes = 1;
        int depth = 0;
        for (auto ref : refs) {
            if (!visit(ref, level + 1)) return false;
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
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string result = text ? text : "";
    std::free(text);
    return result;
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
                Array array;
                const std::uint32_t size = plist_array_get_size(node);
                array.reserve(size);
                for (std::uint32_t i = 0; i < size; ++i) {
                    auto item = convert(plist_array_get_item(node, i), depth + 1);
                    if (!item) return std::nullopt;
                    array.push_back(std::move(*item));
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
    if (!measure(bytes, limits)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    OwnedPlist owned(root);
    return Converter(limits).convert(root, 0);
}

}  // namespace veltrane::plist
