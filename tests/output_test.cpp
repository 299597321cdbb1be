// The output channel: deferred blocks, diagnostic lines, marker bytes and immediate prints.
#include <gtest/gtest.h>

#include <thread>

#include "core/output.h"

namespace {

std::string flushed(void (*prints)()) {
  discard_pending_output();  // answers other tests left behind
  testing::internal::CaptureStdout();
  prints();
  flush_pending_output();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Diagnostic lines in and out of /gui, and the marker: the protocol cases (tree.case,
// input_gui_marker.case and the others).
TEST(Output, EmptyLinesDroppedAndLastPieceEndsALine) {
  EXPECT_EQ(flushed([] { print_out("a\n\nb\n"); }), "a\nb\n");
  EXPECT_EQ(flushed([] { print_out("x"); print_out("y"); }), "xy\n");
  EXPECT_EQ(flushed([] { print_out("%s\n", "100%d"); }), "100%d\n");
}

TEST(Output, PrintNowWritesAtOnceAndDeferredWaitsForTheFlush) {
  EXPECT_EQ(flushed([] {
              print_out("answer\n");
              print_now("report %d\n", 1);
              print_now("#hidden\n");
            }),
            "report 1\nanswer\n");
}

TEST(Output, ConcurrentDeferredPrintsKeepWholeLines) {
  std::string out = flushed([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) print_out("line %d %d\n", t, i);
      });
    for (auto& th : threads) th.join();
  });
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 800);
  EXPECT_NE(out.find("line 3 199\n"), std::string::npos);
}

}  // namespace
