#pragma once
// Golden files (tests/golden/*.hex): byte streams an earlier build stored, one stream a line,
// bytes in hex. Decoders must keep reading them (trees saved to disk hold such bytes); an
// encoder may write other bytes as long as they read back.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::vector<std::uint8_t>> read_golden(const std::string& name) {
  std::ifstream in(std::string(TRAVANTO_TEST_DIR) + "/golden/" + name);
  std::vector<std::vector<std::uint8_t>> streams;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    streams.emplace_back();
    for (unsigned byte; words >> std::hex >> byte;) streams.back().push_back(std::uint8_t(byte));
  }
  return streams;
}

// With TRAVANTO_WRITE_GOLDEN set, the golden tests first write their file from the present
// encoder: only for a deliberate change of a stored format.
inline void write_golden(const std::string& name, const std::vector<std::vector<std::uint8_t>>& streams) {
  std::ofstream out(std::string(TRAVANTO_TEST_DIR) + "/golden/" + name);
  for (const auto& s : streams) {
    for (std::size_t i = 0; i < s.size(); ++i) out << (i ? " " : "") << std::hex << int(s[i]);
    out << "\n";
  }
}
