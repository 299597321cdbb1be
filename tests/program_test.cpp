// The program as a process: start-up, end of input, exit, arguments and redirection.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

TEST(Program, BannerFirstAndStatusZeroAtEndOfInput) {
  Subprocess p(TRAVANTO_BINARY, {});
  p.write("is_ready\n");
  p.close_input();
  EXPECT_EQ(p.read_all(), "Travanto (kelmarine) build 1017 (Dec 11 2015, 15:41:04) \nis_ready ok!\n");
  EXPECT_EQ(p.wait(), 0);
}

// Endings (the exact answers of scripts and redirection: protocol/scripts.case; exit:
// command_loop.case; arguments: input_args_*.case).
TEST(Program, InputEndsAndExitsEndWithStatusZero) {
  const std::string exit_script = std::string(TRAVANTO_TEST_DIR) + "/protocol/data/exit_script.txt";
  struct Case {
    std::string input;
    std::string answers;
  } cases[] = {
      {"is_ready\nis_ready", "is_ready ok!\n"},  // a last line without line feed is not run
      {"is_ready\r\n\n\n", "is_ready ok!\n"},
      // exit in a script ends at once, without the script's answers
      {"is_ready\nload_script " + exit_script + "\nis_ready\n", "is_ready ok!\n"},
  };
  for (const Case& c : cases) {
    int status = -1;
    EXPECT_EQ(run_travanto(c.input, {}, "", &status), c.answers) << c.input;
    EXPECT_EQ(status, 0) << c.input;
  }
}

TEST(Program, StatusCommandsAnswerInTheirFormats) {
  auto lines = output_lines(run_travanto("solver_time\nshow_memory\nai6_get_instruction_set\nshow_version\n"));
  ASSERT_EQ(lines.size(), 7u);
  double t = std::stod(lines[0]);
  EXPECT_TRUE(t >= 0 && t < 60) << t;
  EXPECT_EQ(lines[0].size() - lines[0].find('.'), 7u);  // six decimals
  int total = 0, avail = 0;
  ASSERT_EQ(std::sscanf(lines[1].c_str(), "Total Physical Memory: %d MB", &total), 1);
  ASSERT_EQ(std::sscanf(lines[2].c_str(), "Available Phys Memory: %d MB", &avail), 1);
  EXPECT_TRUE(total > 0 && avail <= total) << total << " " << avail;
  EXPECT_EQ(lines[3], "END");
  EXPECT_TRUE(lines[4] == "AVX2" || lines[4] == "AVX" || lines[4] == "SSE3") << lines[4];
  // "travanto <version> <kernel set>": a version from the build, never empty.
  EXPECT_TRUE(lines[5].starts_with("travanto ") && lines[5].find(' ', 9) > 9) << lines[5];
  EXPECT_TRUE(lines[5].ends_with(" avx2") || lines[5].ends_with(" plain")) << lines[5];
  EXPECT_EQ(lines[6], "END");
}

TEST(Program, RedirectionWritesTheFileAndComesBack) {
  fs::path dir = make_temp_dir();
  auto run = [&](const std::string& input) { return run_travanto(input, {}, dir.string()); };
  EXPECT_EQ(run("stdoutredi out.txt\nis_ready\nstdoutback\nis_ready\n"), "stdoutback ok!\nis_ready ok!\n");
  EXPECT_EQ(read_text_file(dir / "out.txt"), "stdoutredi ok!\nis_ready ok!\n");
  EXPECT_EQ(run("stdoutredi_append out.txt\nset_threads x\nstdoutback\n"), "stdoutback ok!\n");
  EXPECT_EQ(read_text_file(dir / "out.txt"), "stdoutredi ok!\nis_ready ok!\nstdoutredi_append ok!\nInvalid value\n");
  EXPECT_EQ(run("stdoutredi out.txt\nstdoutback\n"), "stdoutback ok!\n");
  EXPECT_EQ(read_text_file(dir / "out.txt"), "stdoutredi ok!\n");
  fs::remove_all(dir);
}

}  // namespace
