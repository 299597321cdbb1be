// The output channel: deferred blocks, diagnostic lines, marker bytes and immediate prints.
#include <gtest/gtest.h>

#include <thread>

#include "core/output.h"

namespace {

std::string flushed(bool gui, bool marker, void (*prints)()) {
  discard_pending_output();  // answers other tests left behind
  set_gui_mode(gui);
  set_marker_mode(marker);
  testing::internal::CaptureStdout();
  prints();
  flush_pending_output();
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  set_gui_mode(false);
  set_marker_mode(false);
  return out;
}

// Diagnostic lines in and out of /gui: the protocol cases (tree.case and the others).
TEST(Output, EmptyLinesDroppedAndLastPieceEndsALine) {
  EXPECT_EQ(flushed(false, false, [] { print_out("a\n\nb\n"); }), "a\nb\n");
  EXPECT_EQ(flushed(false, false, [] { print_out("x"); print_out("y"); }), "xy\n");
  EXPECT_EQ(flushed(false, false, [] { print_out("%s\n", "100%d"); }), "100%d\n");
}

TEST(Output, MarkerBeforeEachNonDiagnosticLine) {
  EXPECT_EQ(flushed(true, true, [] { print_out("EV: 1\nEND\n#x\n"); }), "\xA7" "EV: 1\n\xA7" "END\n#x\n");
}

TEST(Output, PrintNowWritesAtOnceAndDeferredWaitsForTheFlush) {
  discard_pending_output();
  testing::internal::CaptureStdout();
  print_out("answer\n");
  print_now("report %d\n", 1);
  print_now("#hidden\n");
  flush_pending_output();
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "report 1\nanswer\n");
}

TEST(Output, ConcurrentDeferredPrintsKeepWholeLines) {
  discard_pending_output();
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) print_out("line %d %d\n", t, i);
    });
  for (auto& th : threads) th.join();
  flush_pending_output();
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 800);
  EXPECT_NE(out.find("line 3 199\n"), std::string::npos);
}

}  // namespace
