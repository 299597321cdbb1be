// Linux implementation of the platform layer.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace platform {

void* reserve_memory(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool commit_memory(void* base, std::size_t bytes) {
  return mprotect(base, bytes, PROT_READ | PROT_WRITE) == 0;
}

void* reserve_and_commit(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t(2) << 20;
  if (bytes < kHugePage) {
    // Small blocks are populated at once: a pass reads and then writes them whole, and each
    // page would otherwise fault twice (the zero page on the read, its copy on the write).
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  // Large blocks start on a 2 MB boundary and ask for transparent huge pages: a first touch
  // (and a read of untouched memory) then costs one fault per 2 MB instead of one per 4 KB,
  // which on virtual machines is most of the time a tree file takes to load or save.
  std::size_t span = bytes + kHugePage;
  void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  std::uintptr_t end = aligned + ((bytes + 4095) & ~std::size_t(4095));
  if (aligned > start) munmap(p, aligned - start);
  if (start + span > end) munmap(reinterpret_cast<void*>(end), start + span - end);
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

bool release_memory(void* base, std::size_t bytes) { return munmap(base, bytes) == 0; }

MemoryStatus memory_status() {
  MemoryStatus s;
  struct sysinfo info {};
  if (sysinfo(&info) == 0) {
    s.total_bytes = std::uint64_t(info.totalram) * info.mem_unit;
    s.available_bytes = std::uint64_t(info.freeram) * info.mem_unit;
  }
  // MemAvailable counts reclaimable caches too, which is what "available" means to a user.
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kb = 0;
  std::string unit;
  while (meminfo >> key >> kb) {
    std::getline(meminfo, unit);
    if (key == "MemTotal:") s.total_bytes = kb * 1024;
    if (key == "MemAvailable:") s.available_bytes = kb * 1024;
  }
  if (s.total_bytes > 0) {
    std::uint64_t used = s.total_bytes > s.available_bytes ? s.total_bytes - s.available_bytes : 0;
    s.load_percent = std::uint32_t(used * 100 / s.total_bytes);
  }
  return s;
}

std::vector<std::string> running_executables() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc");
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string path = std::string("/proc/") + e->d_name + "/comm";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) continue;  // the process ended meanwhile
    char buf[64] = {};
    if (std::fgets(buf, sizeof buf, f)) {
      buf[std::strcspn(buf, "\n")] = 0;
      names.emplace_back(buf);
    }
    std::fclose(f);
  }
  closedir(dir);
  return names;
}

void lower_current_thread_priority() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
}

std::int64_t wall_clock_100ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
}

std::int64_t performance_counter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t performance_frequency() { return 1'000'000'000; }

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
bool cpu_has_fma() { return __builtin_cpu_supports("fma"); }
bool cpu_has_avx() { return __builtin_cpu_supports("avx"); }

void set_flush_denormals() { _mm_setcsr(_mm_getcsr() | 0x8040); }

const char* console_device() { return "/dev/tty"; }

int open_output_file(const std::string& path, bool append) {
  // Non-blocking open: a FIFO nobody reads fails at once (ENXIO) instead of stalling the loop.
  int flags = O_WRONLY | O_CREAT | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  // Writes block as usual once a target is open.
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int open_console_output() { return open(console_device(), O_WRONLY | O_CLOEXEC); }

bool point_stdout_at(int fd) { return fd == STDOUT_FILENO || dup2(fd, STDOUT_FILENO) >= 0; }

int duplicate_stdout() { return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3); }

void close_descriptor(int fd) { close(fd); }

void occupy_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool regular_file_identity(const std::string& path, FileIdentity& out) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
  return true;
}

namespace {

// Temporary files of saves in progress, for the signal handler: fixed slots that it can read
// without allocating (0 free, 1 being filled, 2 in use).
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[PATH_MAX];
};
TemporarySlot g_temporaries[8];

void track_temporary(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  for (TemporarySlot& slot : g_temporaries) {
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state = 2;
    return;
  }
}

void untrack_temporary(const std::string& path) {
  for (TemporarySlot& slot : g_temporaries)
    if (slot.state == 2 && path == slot.path) slot.state = 0;
}

void remove_temporaries_and_end(int sig) {
  for (TemporarySlot& slot : g_temporaries)
    if (slot.state == 2) unlink(slot.path);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Temporary names: "." + up to 200 bytes of the target's name + "." + pid + "-" + attempt + the suffix.
constexpr const char* kTemporarySuffix = ".tvtmp";
constexpr std::size_t kTemporaryStem = 200;

// The pid in one of the engine's temporary names, or 0.
long temporary_owner(const std::string& name) {
  std::string suffix = kTemporarySuffix;
  if (name.size() <= suffix.size() + 1 || name[0] != '.' || !name.ends_with(suffix)) return 0;
  std::string tail = name.substr(0, name.size() - suffix.size());
  std::size_t dot = tail.rfind('.'), dash = tail.rfind('-');
  if (dot == 0 || dot == std::string::npos || dash == std::string::npos || dash < dot) return 0;
  std::string pid = tail.substr(dot + 1, dash - dot - 1), attempt = tail.substr(dash + 1);
  auto digits = [](const std::string& t) { return !t.empty() && t.size() < 10 && t.find_first_not_of("0123456789") == std::string::npos; };
  return digits(pid) && digits(attempt) ? std::atol(pid.c_str()) : 0;
}

// Leftovers of saves whose process ended without cleaning up (killed).
void remove_leftovers(const std::string& folder) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    long pid = temporary_owner(e->d_name);
    if (pid > 0 && pid != long(getpid()) && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
      unlinkat(dirfd(dir), e->d_name, 0);
  }
  closedir(dir);
}

// Follows symbolic links to the file a save replaces; false when that is no regular file (a
// missing one is fine: the save creates it).
bool resolve_save_target(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return S_ISREG(st.st_mode);
    char link[PATH_MAX];
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = 0;
    std::size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? std::string(link) : path.substr(0, slash + 1) + link;
  }
  return false;  // a loop of links
}

}  // namespace

std::string create_file_beside(const std::string& target, std::string& resolved) {
  resolved = target;
  if (target.empty() || !resolve_save_target(resolved)) return "";
  std::size_t slash = resolved.rfind('/');
  std::string folder = slash == std::string::npos ? "" : resolved.substr(0, slash + 1);
  std::string name = resolved.substr(folder.size());
  if (name.empty()) return "";
  remove_leftovers(folder);
  // O_EXCL with the usual mode (not mkstemp's 0600): the renamed file gets the permissions a
  // plainly created one would.
  std::string stem = folder + "." + name.substr(0, kTemporaryStem) + "." + std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = stem + std::to_string(std::rand() % 1000000) + kTemporarySuffix;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      track_temporary(path);
      return path;
    }
    if (errno != EEXIST) return "";
  }
  return "";
}

bool replace_file(const std::string& from, const std::string& to) {
  bool ok = std::rename(from.c_str(), to.c_str()) == 0;
  if (ok) untrack_temporary(from);
  return ok;
}

void remove_file(const std::string& path) {
  unlink(path.c_str());
  untrack_temporary(path);
}

void remove_temporaries_on_signals() {
  struct sigaction action {};
  action.sa_handler = remove_temporaries_and_end;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

bool threads_fit(int count) {
  if (count <= 0) return true;
  pthread_attr_t attr;
  std::size_t stack = std::size_t(8) << 20;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
  }
  struct rlimit limit {};
  if (stack == 0 && getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) stack = limit.rlim_cur;
  if (stack == 0) stack = std::size_t(8) << 20;
  // Each stack with its guard page, and some room for what the threads allocate at their start;
  // a sanitizer's runtime maps far more per thread (its thread records, caches and shadow).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::size_t per_thread = stack + (std::size_t(64) << 20), extra = std::size_t(256) << 20;
#else
  const std::size_t per_thread = stack + 65536, extra = std::size_t(16) << 20;
#endif
  std::size_t bytes = std::size_t(count) * per_thread + extra;
  void* p = reserve_memory(bytes);
  if (!p) return false;
  release_memory(p, bytes);
  return true;
}

FileHandle open_for_writing(const std::string& path) {
  FileHandle h;
  h.fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_DIRECT);
  h.direct = h.fd >= 0;
  if (h.fd < 0 && errno == EINVAL) h.fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);  // e.g. tmpfs
  return h;
}

bool write_all(const FileHandle& handle, const void* data, std::size_t bytes, std::uint64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    ssize_t n = ::pwrite(handle.fd, p, bytes, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += std::uint64_t(n);
    bytes -= std::size_t(n);
  }
  return true;
}

bool finish_writing(FileHandle& handle, std::uint64_t size) {
  bool ok = ftruncate(handle.fd, off_t(size)) == 0;
  ok = close(handle.fd) == 0 && ok;
  handle.fd = -1;
  return ok;
}

void abandon_writing(FileHandle& handle) {
  if (handle.fd >= 0) close(handle.fd);
  handle.fd = -1;
}

FileHandle open_for_reading(const std::string& path) {
  FileHandle h;
  h.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  h.direct = h.fd >= 0;
  if (h.fd < 0 && errno == EINVAL) h.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return h;
}

long long read_fully(const FileHandle& handle, void* data, std::size_t bytes, std::uint64_t offset) {
  char* p = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::pread(handle.fd, p + got, bytes - got, off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += std::size_t(n);
    // A direct read past the end's last whole block is the end: the offset is now unaligned.
    if (handle.direct && std::size_t(n) % kWriteAlignment != 0) break;
  }
  return static_cast<long long>(got);
}

}  // namespace platform
