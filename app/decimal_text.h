// Decimal text to a number, strictly: anything but plain digits is an error raised to the caller,
// as the entries and boxes the jobs read from hold digits only unless something went wrong.
#pragma once

#include <string_view>

#include "platform/win32_types.h"

// Throws std::invalid_argument for an empty text, a non-digit or a value beyond 64 bits.
LONGLONG ParseDecimal(std::string_view text);
