#include "core/arguments.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "core/failure.h"

Tokens split_tokens(const std::string& line) {
  Tokens tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) tokens.emplace_back(line, start, i - start);
  }
  return tokens;
}

std::string join_tokens(const Tokens& tokens, std::size_t first) {
  std::string text;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    if (i > first) text += ' ';
    text += tokens[i];
  }
  return text;
}

int parse_int(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) throw InvalidValue();
  return static_cast<int>(value);
}

double parse_double(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(begin, &end);
  // Underflow to a tiny value is fine; overflow, "inf" and "nan" are no usable numbers.
  if (end == begin || !std::isfinite(value)) throw InvalidValue();
  return value;
}
