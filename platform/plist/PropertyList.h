#pragma once
// Property lists (binary "bplist00" and XML) read into a tree of our own:
// XML through libplist, the binary form by our own reader of its tables
// (libplist 2.2 spends most of a large archive's time zeroing allocations).
// Archive references stay references (`Uid`): the binary form's reference
// objects and nothing else; XML has none.
//
// A binary list's shared objects expand into copies, so a few hundred bytes
// could stand for a hundred million values: the binary reader counts every
// value and level as it reads and stops at the limits. libplist's XML tree
// is freed recursively, so deep nesting could overflow the stack: XML is
// measured from its tags first and refused beyond the limits.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veltrane::plist {

struct Value;
struct Entry;
using Array = std::vector<Value>;
using Dictionary = std::vector<Entry>;  // in the list's order

// A keyed archive's object reference: an index into its "$objects".
struct Uid {
    std::uint64_t index = 0;
    bool operator==(const Uid&) const = default;
};
// Data and dates: nothing we read looks into them.
struct Other {
    bool operator==(const Other&) const = default;
};

struct Value {
    std::variant<Other, bool, std::int64_t, double, std::string, Uid, Array, Dictionary> value;

    const std::string* string() const { return std::get_if<std::string>(&value); }
    const Array* array() const { return std::get_if<Array>(&value); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value); }
    // The entry of a dictionary; none for another value or a missing key.
    const Value* find(std::string_view key) const;
};

struct Entry {
    std::string key;
    Value value;
};

struct Limits {
    std::size_t maxNodes;  // every value counts, keys too
    int maxDepth;          // nesting of arrays and dictionaries
};

// None for bytes that are neither form, a list past the limits, or a
// reference cycle.
std::optional<Value> parse(std::string_view bytes, const Limits& limits);

// The number of values `bytes` would expand to and its deepest nesting, read
// from the binary list's tables or the XML tags alone (an upper bound for
// XML); none when the binary tables are broken, cyclic or past the limits.
struct Shape {
    std::size_t nodes = 0;
    int depth = 0;
};
std::optional<Shape> measure(std::string_view bytes, const Limits& limits);

}  // namespace veltrane::plist
