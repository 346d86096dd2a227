#pragma once

#include <string>
#include <string_view>

namespace veltrane::deck {

// The content type of a file by its name's extension (any case), as the
// static files and the transfer records give it; "application/octet-stream"
// for an unknown or missing extension.
std::string mimeType(std::string_view path);

}  // namespace veltrane::deck
