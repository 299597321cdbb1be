#include "app/process_watch.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace {

const char* const kBannedNames[] = {"PokerStars", "FullTiltPoker"};

std::atomic<bool> g_banned{false};
std::mutex g_name_lock;
std::string g_name;

// Case-sensitive prefix test of each running executable against the banned names.
std::string scan() {
  for (const std::string& exe : platform::running_executables())
    for (const char* banned : kBannedNames)
      if (exe.starts_with(banned)) return exe;
  return {};
}

}  // namespace

void start_process_watch(std::chrono::milliseconds period) {
  // Detached: the process ends it by exiting.
  std::thread([period] {
    platform::lower_current_thread_priority();
    for (;;) {
      // A scan that finds no memory changes nothing: the next one tries again.
      try {
        std::string found = scan();
        {
          std::lock_guard<std::mutex> lock(g_name_lock);
          g_name = found;
        }
        g_banned = !found.empty();
      } catch (const std::bad_alloc&) {
      }
      std::this_thread::sleep_for(period);
    }
  }).detach();
}

bool banned_process_running() { return g_banned; }

std::string banned_process_name() {
  std::lock_guard<std::mutex> lock(g_name_lock);
  return g_name;
}
