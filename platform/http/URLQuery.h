#pragma once
// Query strings that services read back exactly as they were meant.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrane::http {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// Every byte outside RFC 3986's unreserved set (letters, digits, "-._~")
// percent-encoded, so "+", "&", "=" and "#" inside a value stay data.
std::string percentEncoded(std::string_view text);

// "k=v&k2=v2" in the order given; empty for no items.
std::string queryString(const QueryItems& items);

}  // namespace veltrane::http
