#include "core/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

std::atomic<bool> g_gui_mode{false};
bool g_marker_mode = false;
std::string g_pending;
int g_original_stdout = -1;

// Formats in full, however long: a cut text would merge its line with the next one.
std::string format_text(const char* format, va_list args) {
  char buffer[4096];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  std::string text;
  if (n >= 0 && std::size_t(n) < sizeof buffer) {
    text.assign(buffer, std::size_t(n));
  } else if (n >= 0) {
    text.resize(std::size_t(n));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

bool suppressed(const char* format) { return format[0] == '#' && !g_gui_mode; }

// Points file descriptor 1 at fd; the stdio stream stays the same object.
bool replace_stdout_fd(int fd) {
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  std::fflush(stdout);
  std::clearerr(stdout);  // writes to a closed descriptor before do not block later ones
  return platform::point_stdout_at(fd);
}

}  // namespace

void set_gui_mode(bool on) { g_gui_mode = on; }
bool gui_mode() { return g_gui_mode; }
void set_marker_mode(bool on) { g_marker_mode = on; }

std::recursive_mutex& output_lock() {
  static std::recursive_mutex lock;
  return lock;
}

void print_out(const char* format, ...) {
  if (suppressed(format)) return;
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  g_pending += text;
}

void print_now(const char* format, ...) {
  if (suppressed(format)) return;
  // Short texts (every solver line) go out without allocating: they are also the lines that
  // report a lack of memory.
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n >= 0 && std::size_t(n) < sizeof buffer) {
    std::lock_guard<std::recursive_mutex> lock(output_lock());
    std::fwrite(buffer, 1, std::size_t(n), stdout);
    std::fflush(stdout);
    return;
  }
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void flush_pending_output() {
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  if (g_pending.empty()) return;
  std::size_t pos = 0;
  while (pos < g_pending.size()) {
    std::size_t end = g_pending.find('\n', pos);
    if (end == std::string::npos) end = g_pending.size();
    if (end > pos) {
      if (g_marker_mode && g_pending[pos] != '#') std::fputc(0xA7, stdout);
      std::fwrite(g_pending.data() + pos, 1, end - pos, stdout);
      std::fputc('\n', stdout);
    }
    pos = end + 1;
  }
  g_pending.clear();
}

void discard_pending_output() {
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  g_pending.clear();
}

bool redirect_stdout_to_file(const std::string& path, bool append) {
  int fd = platform::open_output_file(path, append);
  if (fd < 0) return false;
  bool ok = replace_stdout_fd(fd);
  if (fd != 1) platform::close_descriptor(fd);  // with standard output closed, the open itself took descriptor 1
  return ok;
}

bool redirect_stdout_to_console() {
  // The stream the process started with (the caller's pipe, file or terminal); the console
  // device only when there was none.
  if (g_original_stdout >= 0) return replace_stdout_fd(g_original_stdout);
  int fd = platform::open_console_output();
  if (fd < 0) return false;
  bool ok = replace_stdout_fd(fd);
  platform::close_descriptor(fd);
  return ok;
}

void occupy_closed_standard_descriptors() { platform::occupy_closed_standard_descriptors(); }

void remember_original_stdout() {
  if (g_original_stdout < 0) g_original_stdout = platform::duplicate_stdout();
}

void end_process(int status) {
  std::fflush(stdout);
  // The watch thread and any solver threads end with the process.
  std::_Exit(status);
}

void add_note(Notes* notes, const char* format, ...) {
  if (!notes) return;
  va_list args;
  va_start(args, format);
  notes->push_back(format_text(format, args));
  va_end(args);
}

void print_notes(const Notes& notes) {
  for (const std::string& note : notes)
    if (!suppressed(note.c_str())) {
      std::lock_guard<std::recursive_mutex> lock(output_lock());
      g_pending += note;
    }
}
