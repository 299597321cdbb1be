#pragma once
// The operating-system services the engine uses, behind one header so that a port to another
// system replaces one source file. Memory is reserved/committed like a virtual-memory API with
// separate reserve and commit steps; clocks come in the units the engine reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Address space without physical memory behind it; nullptr on failure.
void* reserve_memory(std::size_t bytes);
// Makes [base, base + bytes) usable (read-write); already committed pages keep their contents.
bool commit_memory(void* base, std::size_t bytes);
// Reserve and commit in one step; nullptr on failure. Fresh pages read as zero (callers rely on it);
// blocks under 2 MB are resident at once, larger ones only where touched.
void* reserve_and_commit(std::size_t bytes);
// Gives a whole reservation back; false on failure.
bool release_memory(void* base, std::size_t bytes);

struct MemoryStatus {
  std::uint64_t total_bytes = 0;      // physical memory
  std::uint64_t available_bytes = 0;  // physical memory the system could hand out now
  std::uint32_t load_percent = 0;     // share of physical memory in use, whole percent
};
MemoryStatus memory_status();

// Executable names of the running processes (snapshot order).
std::vector<std::string> running_executables();
// Lowest scheduling priority for the calling thread.
void lower_current_thread_priority();

// Wall clock in 100-ns units since 1 January 1970.
std::int64_t wall_clock_100ns();
// Monotonic high-resolution counter and its ticks per second.
std::int64_t performance_counter();
std::int64_t performance_frequency();

// The calling thread's instance of T, made on first use and destroyed when the thread ends.
// MinGW-w64's emulated thread-local storage is released before thread-local destructors run,
// so on Windows the object lives on the heap and a fiber-local slot's callback destroys it.
#ifdef _WIN32
using ThreadExitCleanup = void (*)(void*);
std::uint32_t create_thread_slot(ThreadExitCleanup cleanup);
void* thread_slot_value(std::uint32_t slot);
void set_thread_slot_value(std::uint32_t slot, void* value);
#endif
template <class T>
T& per_thread_object() {
#ifdef _WIN32
  static const std::uint32_t slot = create_thread_slot([](void* p) { delete static_cast<T*>(p); });
  auto* object = static_cast<T*>(thread_slot_value(slot));
  if (object == nullptr) {
    object = new T();
    set_thread_slot_value(slot, object);
  }
  return *object;
#else
  thread_local T object;
  return object;
#endif
}

bool cpu_has_avx2();
bool cpu_has_fma();
bool cpu_has_avx();
// Flush-to-zero and denormals-are-zero for the calling thread's SSE unit.
void set_flush_denormals();

// Path of the console output device (the terminal the program runs on).
const char* console_device();
// Standard output at the descriptor level: descriptor 1 is pointed at another target while
// the C stream stdout stays the same object. Descriptors made here are not inherited.
// Opens a redirection target for writing (created when missing; emptied, or appended to);
// -1 on failure, at once also for a FIFO that nobody reads.
int open_output_file(const std::string& path, bool append);
// The console device, opened for writing; -1 on failure.
int open_console_output();
// Makes descriptor 1 a copy of fd (which stays open; nothing to do when fd is 1); false on failure.
bool point_stdout_at(int fd);
// A new descriptor for what standard output is now; -1 on failure.
int duplicate_stdout();
void close_descriptor(int fd);
// Puts the null device on each of descriptors 0, 1 and 2 that is closed, so that files opened
// later never take their place.
void occupy_closed_standard_descriptors();
// True when a file or directory exists at path.
bool path_exists(const std::string& path);
// Identity of the regular file at path (device and file number), so that a file reached by two
// names is recognised; false when path is missing or not a regular file (a folder, a FIFO).
struct FileIdentity {
  std::uint64_t device = 0, file = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool regular_file_identity(const std::string& path, FileIdentity& out);
// Every save of a user's file goes through a temporary file beside its target. Symbolic links
// are followed: the file a link leads to is replaced, the link stays. A target that is not a
// regular file (a folder, a device, a FIFO, a socket) or a loop of links is refused. On success
// `resolved` is the file to replace and the result is a new, empty file in its folder under a
// name of the engine's own that fits the 255-byte name limit whatever the target's length;
// temporary files of ended processes are removed from that folder first. Empty on refusal or
// when no file can be created there.
std::string create_file_beside(const std::string& target, std::string& resolved);
// Renames `from` over `to`, replacing a file there in one step; false on failure.
bool replace_file(const std::string& from, const std::string& to);
void remove_file(const std::string& path);
// From now on SIGTERM, SIGINT and SIGHUP remove the temporary files of saves in progress before
// they end the process as usual.
void remove_temporaries_on_signals();
// Whether the address space has room for `count` more threads' stacks (thread creation inside
// the OpenMP runtime cannot fail softly).
bool threads_fit(int count);

// Writing of a file in positioned blocks, bypassing the system's cache where the file system allows it
// (`direct`): large files then go to the device without first filling page-cache pages, which
// on virtual machines is the slower part. Direct writes take buffers aligned to
// kWriteAlignment and whole multiples of it; finish_writing cuts the file to its true size.
constexpr std::size_t kWriteAlignment = 4096;
struct FileHandle {
  int fd = -1;
  bool direct = false;
};
// Opens an existing file for writing from its start; fd -1 on failure.
FileHandle open_for_writing(const std::string& path);
// Writes the bytes at `offset`; transfers at different offsets may run at once.
bool write_all(const FileHandle& handle, const void* data, std::size_t bytes, std::uint64_t offset);
// Sets the file's size and closes it; true when both succeed.
bool finish_writing(FileHandle& handle, std::uint64_t size);
// Closes without checking (after a failure).
void abandon_writing(FileHandle& handle);
// Reading the same way: fd -1 on failure. read_fully fills the buffer from `offset` (aligned
// when direct) unless the file ends first, and returns the bytes read, or -1.
FileHandle open_for_reading(const std::string& path);
long long read_fully(const FileHandle& handle, void* data, std::size_t bytes, std::uint64_t offset);

}  // namespace platform
