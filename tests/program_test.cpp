// The program as a process: start-up, end of input, exit, scripts, redirection and the
// banned-process watch.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
  std::ifstream f(p);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

struct InTempDir : ::testing::Test {
  fs::path dir = make_temp_dir();
  ~InTempDir() override { fs::remove_all(dir); }
  std::string run(const std::string& input, int* status = nullptr, std::vector<std::string> args = {}) {
    return run_travanto(input, args, dir.string(), status);
  }
};

TEST(Program, BannerFirstAndStatusZeroAtEndOfInput) {
  Subprocess p(TRAVANTO_BINARY, {});
  p.write("is_ready\n");
  p.close_input();
  EXPECT_EQ(p.read_all(), "Travanto (kelmarine) build 1017 (Dec 11 2015, 15:41:04) \nis_ready ok!\n");
  EXPECT_EQ(p.wait(), 0);
}

TEST(Program, LastLineWithoutLineFeedIsNotRun) {
  int status = -1;
  EXPECT_EQ(run_travanto("is_ready\nis_ready", {}, "", &status), "is_ready ok!\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run_travanto("is_ready\r\n\n\n", {}, "", &status), "is_ready ok!\n");
}

TEST(Program, ExitEndsAtOnceWithStatusZero) {
  int status = -1;
  EXPECT_EQ(run_travanto("is_ready\nexit now\nis_ready\n", {}, "", &status), "is_ready ok!\n");
  EXPECT_EQ(status, 0);
}

TEST(Program, ThreadCountArgumentsAndGuiFlagAreHarmless) {
  // No command of the foundation prints diagnostics; the flag must not change ordinary answers.
  for (auto args : {std::vector<std::string>{"/gui"}, {"/GUI"}, {"x", "/gui"}})
    EXPECT_EQ(run_travanto("is_ready\n", args), "is_ready ok!\n");
}

TEST(Program, ShowHandOrderIsOneLongLine) {
  std::string out = run_travanto("show_hand_order\n");
  ASSERT_EQ(out.size(), 6630u);
  EXPECT_TRUE(out.starts_with("2d2c 2h2c"));
  EXPECT_TRUE(out.ends_with("AsAh\n"));
}

TEST(Program, StatusCommandsAnswerInTheirFormats) {
  auto lines = output_lines(run_travanto("solver_time\nshow_memory\nai6_get_instruction_set\nshow_version\n"));
  ASSERT_EQ(lines.size(), 7u);
  double t = std::stod(lines[0]);
  EXPECT_GE(t, 0.0);
  EXPECT_LT(t, 60.0);
  EXPECT_EQ(lines[0].size() - lines[0].find('.'), 7u);  // six decimals
  int total = 0, avail = 0;
  ASSERT_EQ(std::sscanf(lines[1].c_str(), "Total Physical Memory: %d MB", &total), 1);
  ASSERT_EQ(std::sscanf(lines[2].c_str(), "Available Phys Memory: %d MB", &avail), 1);
  EXPECT_GT(total, 0);
  EXPECT_LE(avail, total);
  EXPECT_EQ(lines[3], "END");
  EXPECT_TRUE(lines[4] == "AVX2" || lines[4] == "AVX" || lines[4] == "SSE3") << lines[4];
  // "travanto <version> <kernel set>": a version from the build, never empty.
  EXPECT_TRUE(lines[5].starts_with("travanto ") && lines[5].find(' ', 9) > 9) << lines[5];
  EXPECT_TRUE(lines[5].ends_with(" avx2") || lines[5].ends_with(" plain")) << lines[5];
  EXPECT_EQ(lines[6], "END");
}

TEST_F(InTempDir, RedirectionWritesTheFileAndComesBack) {
  EXPECT_EQ(run("stdoutredi out.txt\nis_ready\nstdoutback\nis_ready\n"), "stdoutback ok!\nis_ready ok!\n");
  EXPECT_EQ(read_file(dir / "out.txt"), "stdoutredi ok!\nis_ready ok!\n");
  EXPECT_EQ(run("stdoutredi_append out.txt\nset_threads x\nstdoutback\n"), "stdoutback ok!\n");
  EXPECT_EQ(read_file(dir / "out.txt"), "stdoutredi ok!\nis_ready ok!\nstdoutredi_append ok!\nInvalid value\n");
  EXPECT_EQ(run("stdoutredi out.txt\nstdoutback\n"), "stdoutback ok!\n");
  EXPECT_EQ(read_file(dir / "out.txt"), "stdoutredi ok!\n");
}

TEST_F(InTempDir, RedirectionToAnUnopenableFileKeepsOutput) {
  EXPECT_EQ(run("stdoutredi no/such/dir/out.txt\nis_ready\nstdoutredi_append /\nis_ready\n"),
            "ERROR: stdoutredi can't open file\nis_ready ok!\n"
            "ERROR: stdoutredi_append can't open file\nis_ready ok!\n");
}

TEST_F(InTempDir, ScriptSkipsToLabelWhenTheFileExists) {
  write_file(dir / "s.txt", "skip_if_done existing.txt DONE\ngo\nLABEL: DONE\nis_ready\n");
  write_file(dir / "existing.txt", "");
  EXPECT_EQ(run("load_script s.txt\n"), "skip_if_done ok!\nis_ready ok!\n");
  fs::remove(dir / "existing.txt");
  // Without the file "go" runs (and fails: no tree) and the label line is an unknown command.
  EXPECT_EQ(run("load_script s.txt\n"),
            "skip_if_done ok!\nERROR: go missing/incorrect tree\nERROR: Command LABEL: not recognized\nis_ready ok!\n");
}

TEST_F(InTempDir, UnreachedLabelKeepsSkippingIntoTheNextScript) {
  write_file(dir / "a.txt", "skip_if_done . LATER\nis_ready\n");
  write_file(dir / "b.txt", "is_ready\nLABEL: OTHER\nLABEL: LATER extra\nset_threads 2\n");
  EXPECT_EQ(run("load_script a.txt\nload_script b.txt\nis_ready\n"),
            "skip_if_done ok!\nset_threads ok!\nis_ready ok!\n");
}

TEST_F(InTempDir, ScriptsReportFailuresPerLineNestAndTakeBlankNames) {
  write_file(dir / "my script.txt", "  \nset_threads x\n#comment\nload_script inner.txt\nis_ready\n");
  write_file(dir / "inner.txt", "set_threads 3\r\n");
  EXPECT_EQ(run("\xA7" "load_script my  script.txt\n"
                "load_script missing.txt\n"),
            "\xA7Invalid value\n\xA7set_threads ok!\n\xA7is_ready ok!\nERROR: load_script can't open file\n");
}

TEST_F(InTempDir, ExitInAScriptEndsWithoutWritingItsAnswers) {
  write_file(dir / "s.txt", "is_ready\nexit\nis_ready\n");
  int status = -1;
  EXPECT_EQ(run("is_ready\nload_script s.txt\nis_ready\n", &status), "is_ready ok!\n");
  EXPECT_EQ(status, 0);
}

TEST_F(InTempDir, SelfLoadingScriptStopsInsteadOfCrashing) {
  write_file(dir / "loop.txt", "load_script loop.txt\n");
  int status = -1;
  std::string out = run("load_script loop.txt\nis_ready\n", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "ERROR: load_script script is already running\nis_ready ok!\n");
}

}  // namespace
