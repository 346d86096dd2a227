#pragma once
// Typed reads of the now-playing dictionary: a value of another type than
// asked for counts as absent.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mpris/NowPlayingInfo.h"

namespace veltrane::mirabeck {

using mpris::InfoDictionary;
using Keys = std::initializer_list<std::string_view>;

// The first key holding text that is not empty once trimmed of white space
// and line breaks; that text, trimmed.
std::optional<std::string> str(const InfoDictionary* info, Keys keys);
// The first key holding a Boolean, or a number (true when not zero).
std::optional<bool> flag(const InfoDictionary* info, Keys keys);
// The first key holding a finite number; 0 when none.
double num(const InfoDictionary* info, Keys keys);

}  // namespace veltrane::mirabeck
