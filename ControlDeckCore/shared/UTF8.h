#pragma once
// The UTF-8 byte rules the deck applies to outside text. They live with the
// platform's text so the process runner can use them without the deck.

#include "platform/text/UTF8.h"

namespace veltrane::deck::utf8 {

using text::utf8::isValid;
using text::utf8::sanitized;
using text::utf8::withoutCutTail;

}  // namespace veltrane::deck::utf8
