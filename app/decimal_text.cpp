#include "app/decimal_text.h"

#include <charconv>
#include <stdexcept>
#include <string>

LONGLONG ParseDecimal(std::string_view text) {
  LONGLONG value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || error != std::errc() ||
      end != text.data() + text.size()) {
    throw std::invalid_argument("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}
