// The banned-process watch, against a real process. It runs alone: while the fake client
// lives, every other instance of the program on the machine refuses its commands too.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

// While an executable named like a banned client runs, every line is refused; commands run
// again after the next scan once it has ended. The watch scans every 5 s.
TEST(ProcessWatch, BannedProcessBlocksEveryCommandUntilItEnds) {
  fs::path dir = make_temp_dir();
  fs::path fake = dir / "PokerStarsTest";
  fs::copy_file("/bin/sleep", fake);
  fs::permissions(fake, fs::perms::owner_all);
  Subprocess banned(fake.string(), {"120"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it exec under its name

  Subprocess p(TRAVANTO_BINARY, {});
  std::string line;
  ASSERT_TRUE(p.read_line(line));  // banner
  auto poll_until = [&](const std::string& want, int seconds) {
    for (int i = 0; i < seconds * 4; ++i) {
      p.write(i % 2 ? "exit\n" : "is_ready\n");
      if (!p.read_line(line, 2000)) return false;
      if (line == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
  };
  EXPECT_TRUE(poll_until("ERROR: banned process running: PokerStarsTest", 8));
  kill(banned.pid(), SIGKILL);
  banned.wait();
  // Refusals go on (even for exit) until the next scan; then is_ready answers again.
  bool back = false;
  for (int i = 0; i < 60 && !back; ++i) {
    p.write("is_ready\n");
    ASSERT_TRUE(p.read_line(line, 2000));
    back = line == "is_ready ok!";
    if (!back) {
      EXPECT_EQ(line, "ERROR: banned process running: PokerStarsTest");
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  EXPECT_TRUE(back);
  fs::remove_all(dir);
}

}  // namespace
