// Runs the protocol cases in tests/protocol/*.case. A case file holds input lines ("> line"),
// the answer lines expected in between, "// comments", and optionally "!args /gui".
// "<A7>" stands for the byte 0xA7, "@DATA@" for tests/protocol/data, "@TMP@" for a fresh
// temporary folder that is also the working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

std::string substitute(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size()) s.replace(pos, from.size(), to);
  return s;
}

std::vector<std::string> case_files() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(fs::path(TRAVANTO_TEST_DIR) / "protocol"))
    if (e.path().extension() == ".case") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ProtocolCase : public ::testing::TestWithParam<std::string> {};

TEST_P(ProtocolCase, AnswersMatch) {
  std::ifstream file(fs::path(TRAVANTO_TEST_DIR) / "protocol" / (GetParam() + ".case"));
  ASSERT_TRUE(file);
  std::string tmp = make_temp_dir();
  std::string data = (fs::path(TRAVANTO_TEST_DIR) / "protocol" / "data").string();
  auto expand = [&](std::string s) {
    s = substitute(s, "<A7>", "\xA7");
    s = substitute(s, "@DATA@", data);
    return substitute(s, "@TMP@", tmp);
  };
  std::string input, expected;
  std::vector<std::string> args;
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with("//")) continue;
    if (line.starts_with("!args ")) {
      args.push_back(line.substr(6));
    } else if (line.starts_with("> ")) {
      input += expand(line.substr(2)) + "\n";
    } else if (!line.empty()) {
      expected += expand(line) + "\n";
    }
  }
  std::string actual = run_travanto(input, args, tmp);
  EXPECT_EQ(expected, actual) << "case " << GetParam();
  fs::remove_all(tmp);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProtocolCase, ::testing::ValuesIn(case_files()),
                         [](const auto& info) { return info.param; });

}  // namespace
