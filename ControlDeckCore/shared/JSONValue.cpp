#include "ControlDeckCore/shared/JSONValue.h"

namespace veltrane::deck {

JSONValue::Kind JSONValue::kind() const {
    switch (value_.index()) {
        case 1: return Kind::boolean;
        case 2: return Kind::number;
        case 3: return Kind::string;
        case 4: return Kind::array;
        case 5: return Kind::object;
        default: return Kind::null;
    }
}

Json JSONValue::any() const {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, Array>) {
                Json out = Json::array();
                for (const auto& element : v) out.push_back(element.any());
                return out;
            } else if constexpr (std::is_same_v<T, Object>) {
                Json out = Json::object();
                for (const auto& [key, element] : v) out[key] = element.any();
                return out;
            } else {
                return v;
            }
        },
        value_);
}

JSONValue JSONValue::from(const Json* v) {
    if (!v) return {};
    switch (v->type()) {
        case Json::value_t::boolean: return v->get<bool>();
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: return v->get<double>();
        case Json::value_t::string: return v->get<std::string>();
        case Json::value_t::array: {
            Array out;
            out.reserve(v->size());
            for (const auto& element : *v) out.push_back(from(element));
            return out;
        }
        case Json::value_t::object: {
            Object out;
            for (const auto& [key, element] : v->items()) out.emplace(key, from(element));
            return out;
        }
        default: return {};
    }
}

}  // namespace veltrane::deck
