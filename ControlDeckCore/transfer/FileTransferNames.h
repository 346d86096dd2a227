#pragma once
// Name arithmetic shared by the transfer service's name rules and its choice
// of a free inbox name.

#include <string>
#include <string_view>
#include <utility>

namespace veltrane::deck::transfer {

// Base and extension (without the dot): the text after the last "." unless
// that dot begins or ends the name; no extension otherwise.
std::pair<std::string_view, std::string_view> splitExtension(std::string_view name);

// "<base> <number>.<extension>", or "<base> <number>" without an extension.
std::string numberedName(std::string_view name, int number);

// `prefix` + `name`, where `name` is shortened (extension kept when it
// can be) so the whole has at most `maxBytes` bytes.
std::string prefixedName(std::string_view prefix, std::string_view name, std::size_t maxBytes);

}  // namespace veltrane::deck::transfer
