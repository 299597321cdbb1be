// parse_int and parse_double on arbitrary tokens. InvalidValue is their only failure; what they
// accept is finite and reads back as itself once printed.
#include <cmath>

#include "core/failure.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string token = fuzz::as_text(data, size);
  try {
    int value = parse_int(token);
    FUZZ_CHECK(parse_int(std::to_string(value)) == value && parse_double(std::to_string(value)) == double(value));
  } catch (const InvalidValue&) {
  }
  try {
    double value = parse_double(token);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    FUZZ_CHECK(std::isfinite(value) && parse_double(text) == value);
  } catch (const InvalidValue&) {
  }
  return 0;
}
