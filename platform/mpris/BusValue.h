#pragma once
// A D-Bus value as players send it, without the bus library's types, so the
// rules that read player properties run on plain data in tests and fuzzing.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veltrane::mpris {

struct BusValue;
// Dictionaries keep the order they arrived in; keys are looked up linearly
// (a player's property set is a few dozen entries).
using BusArray = std::vector<BusValue>;
using BusDict = std::vector<std::pair<std::string, BusValue>>;

// Strings, object paths and signatures are text; every integer type is an
// integer (a "t" above the int64 range becomes a double); byte arrays and
// arrays of other types are arrays; types we never read are empty. A
// dictionary is held through a pointer: its entries name this very type,
// which is not complete yet where the variant is declared.
struct BusValue {
    using DictRef = std::shared_ptr<const BusDict>;
    std::variant<std::monostate, bool, std::int64_t, double, std::string, BusArray, DictRef> value;

    static BusValue of(BusDict dict);

    const std::string* text() const { return std::get_if<std::string>(&value); }
    const BusArray* array() const { return std::get_if<BusArray>(&value); }
    const BusDict* dict() const {
        const auto* ref = std::get_if<DictRef>(&value);
        return ref ? ref->get() : nullptr;
    }
};

inline BusValue BusValue::of(BusDict dict) { return BusValue{std::make_shared<const BusDict>(std::move(dict))}; }

// The value under `key`, or null.
const BusValue* find(const BusDict& dict, std::string_view key);

}  // namespace veltrane::mpris
