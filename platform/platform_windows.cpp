// Windows implementation of the platform layer (64-bit, built with MinGW-w64).
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <tlhelp32.h>
#include <xmmintrin.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// The protocol's bytes pass unchanged: no CR is added before a line feed on output, and input
// lines keep their CR, which the line readers drop. Set before main() runs.
struct BinaryStandardStreams {
  BinaryStandardStreams() {
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
  }
} g_binary_standard_streams;

HANDLE os_handle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Wraps a handle in a C runtime descriptor (which then owns it); -1 on failure.
int wrap_handle(HANDLE h, int flags) {
  if (h == INVALID_HANDLE_VALUE) return -1;
  int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), flags);
  if (fd < 0) CloseHandle(h);
  return fd;
}

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = DWORD(offset);
  o.OffsetHigh = DWORD(offset >> 32);
  return o;
}

// Others may read, write, rename and delete an open file, as on POSIX systems: a tree file
// being read can be replaced by a save meanwhile.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Transfers of at most this many bytes per call (the count is a 32-bit DWORD), whole blocks.
constexpr std::size_t kMaxTransfer = std::size_t(1) << 30;

}  // namespace

void* reserve_memory(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS); }

bool commit_memory(void* base, std::size_t bytes) {
  return VirtualAlloc(base, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

// Committed pages are zero-filled by the system on their first touch. Large pages would need
// the lock-pages privilege, which an ordinary user does not hold.
void* reserve_and_commit(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

bool release_memory(void* base, std::size_t) { return VirtualFree(base, 0, MEM_RELEASE) != 0; }

MemoryStatus memory_status() {
  MemoryStatus s;
  MEMORYSTATUSEX info{};
  info.dwLength = sizeof info;
  if (GlobalMemoryStatusEx(&info)) {
    s.total_bytes = info.ullTotalPhys;
    s.available_bytes = info.ullAvailPhys;
    s.load_percent = info.dwMemoryLoad;
  }
  return s;
}

std::vector<std::string> running_executables() {
  std::vector<std::string> names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  // Windows lists the system idle process (id 0, no executable) first; Wine lists none.
  for (bool more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ProcessID != 0) names.emplace_back(entry.szExeFile);
  CloseHandle(snapshot);
  return names;
}

std::uint32_t create_thread_slot(ThreadExitCleanup cleanup) {
  DWORD slot = FlsAlloc(cleanup);
  if (slot == FLS_OUT_OF_INDEXES) std::abort();
  return slot;
}

void* thread_slot_value(std::uint32_t slot) { return FlsGetValue(slot); }

void set_thread_slot_value(std::uint32_t slot, void* value) { FlsSetValue(slot, value); }

void lower_current_thread_priority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

std::int64_t wall_clock_100ns() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  std::int64_t since_1601 = std::int64_t((std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return since_1601 - 116'444'736'000'000'000;  // 1601-01-01 to 1970-01-01
}

std::int64_t performance_counter() {
  LARGE_INTEGER t{};
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

std::int64_t performance_frequency() {
  LARGE_INTEGER f{};
  QueryPerformanceFrequency(&f);
  return f.QuadPart;
}

// The compiler's detection reads CPUID and, for AVX and AVX2, checks with XGETBV that the
// system saves the YMM registers.
bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
bool cpu_has_fma() { return __builtin_cpu_supports("fma"); }
bool cpu_has_avx() { return __builtin_cpu_supports("avx"); }

void set_flush_denormals() { _mm_setcsr(_mm_getcsr() | 0x8040); }

const char* console_device() { return "CONOUT$"; }

int open_output_file(const std::string& path, bool append) {
  // Windows has no FIFOs; a named pipe's server that is not listening refuses the open at once.
  int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (append ? _O_APPEND : _O_TRUNC);
  return _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}

int open_console_output() {
  // Read and write access: older systems refuse the console buffer opened for writing alone.
  HANDLE h = CreateFileA(console_device(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  return wrap_handle(h, _O_WRONLY | _O_BINARY);
}

bool point_stdout_at(int fd) { return fd == 1 || _dup2(fd, 1) == 0; }

int duplicate_stdout() {
  int fd = _dup(1);
  // Not inherited by child processes, as the other descriptors made here.
  if (fd >= 0) SetHandleInformation(os_handle(fd), HANDLE_FLAG_INHERIT, 0);
  return fd;
}

void close_descriptor(int fd) { _close(fd); }

// A program started without a console (from a window, or with its standard handles closed) has
// no usable descriptors 0 to 2.
void occupy_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    int null = _open("NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
    if (null >= 0 && null != fd) {
      _dup2(null, fd);
      _close(null);
    }
  }
}

bool path_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool regular_file_identity(const std::string& path, FileIdentity& out) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  // Devices (CON, NUL) and pipes are not regular files.
  bool ok = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  out = {info.dwVolumeSerialNumber, (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

namespace {

// Temporary files of saves in progress, for the console control handler (it runs on a thread
// of its own while the others go on): fixed slots (0 free, 1 being filled, 2 in use).
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[MAX_PATH];
};
TemporarySlot g_temporaries[8];

void track_temporary(const std::string& path) {
  if (path.size() >= MAX_PATH) return;
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

BOOL WINAPI remove_temporaries_and_end(DWORD) {
  for (TemporarySlot& slot : g_temporaries)
    if (slot.state == 2) DeleteFileA(slot.path);
  return FALSE;  // the default handler ends the process
}

// Temporary names: "." + up to 200 bytes of the target's name + "." + pid + "-" + attempt + the suffix.
constexpr const char* kTemporarySuffix = ".tvtmp";
constexpr std::size_t kTemporaryStem = 200;

// The process id in one of the engine's temporary names, or 0.
unsigned long temporary_owner(const std::string& name) {
  std::string suffix = kTemporarySuffix;
  if (name.size() <= suffix.size() + 1 || name[0] != '.' || !name.ends_with(suffix)) return 0;
  std::string tail = name.substr(0, name.size() - suffix.size());
  std::size_t dot = tail.rfind('.'), dash = tail.rfind('-');
  if (dot == 0 || dot == std::string::npos || dash == std::string::npos || dash < dot) return 0;
  std::string pid = tail.substr(dot + 1, dash - dot - 1), attempt = tail.substr(dash + 1);
  auto digits = [](const std::string& t) { return !t.empty() && t.size() < 10 && t.find_first_not_of("0123456789") == std::string::npos; };
  return digits(pid) && digits(attempt) ? std::strtoul(pid.c_str(), nullptr, 10) : 0;
}

bool process_running(unsigned long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
  bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Leftovers of saves whose process ended without cleaning up (killed).
void remove_leftovers(const std::string& folder) {
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((folder + ".*" + kTemporarySuffix).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    unsigned long pid = temporary_owner(found.cFileName);
    if (pid > 0 && pid != GetCurrentProcessId() && !process_running(pid)) DeleteFileA((folder + found.cFileName).c_str());
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Where a save's target sits: a regular file, or nothing yet. Symbolic links are followed to
// the file they lead to; a folder or a device (CON, NUL, a pipe) is refused.
bool resolve_save_target(std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;  // a missing folder on the way is no target
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  HANDLE h = CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool regular = GetFileType(h) == FILE_TYPE_DISK;
  if (regular && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    char final_path[MAX_PATH];
    DWORD n = GetFinalPathNameByHandleA(h, final_path, sizeof final_path, FILE_NAME_NORMALIZED);
    regular = n > 0 && n < sizeof final_path;
    if (regular) {
      path = final_path;
      if (path.starts_with("\\\\?\\") && path.size() > 6 && path[5] == ':') path.erase(0, 4);  // \\?\C:\...
    }
  }
  CloseHandle(h);
  return regular;
}

}  // namespace

std::string create_file_beside(const std::string& target, std::string& resolved) {
  resolved = target;
  if (target.empty() || !resolve_save_target(resolved)) return "";
  std::size_t separator = resolved.find_last_of("/\\:");
  std::string folder = separator == std::string::npos ? "" : resolved.substr(0, separator + 1);
  std::string name = resolved.substr(folder.size());
  if (name.empty()) return "";
  remove_leftovers(folder);
  std::string stem = folder + "." + name.substr(0, kTemporaryStem) + "." + std::to_string(GetCurrentProcessId()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = stem + std::to_string(std::rand() % 1000000) + kTemporarySuffix;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      track_temporary(path);
      return path;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return "";
  }
  return "";
}

bool replace_file(const std::string& from, const std::string& to) {
  bool ok = MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (ok) untrack_temporary(from);
  return ok;
}

void remove_file(const std::string& path) {
  DeleteFileA(path.c_str());
  untrack_temporary(path);
}

// Windows has no signals for these: Ctrl+C, Ctrl+Break, closing the console window, logoff and
// shutdown reach a console program through its control handler. TerminateProcess (the Task
// Manager's End task) runs nothing, as SIGKILL on Linux; the next save into that folder
// removes what it left.
void remove_temporaries_on_signals() { SetConsoleCtrlHandler(remove_temporaries_and_end, TRUE); }

bool threads_fit(int count) {
  if (count <= 0) return true;
  // New threads get the stack size the executable's header asks for.
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(GetModuleHandleA(nullptr));
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(dos) + dos->e_lfanew);
  std::size_t stack = std::size_t(nt->OptionalHeader.SizeOfStackReserve);
  if (stack == 0) stack = std::size_t(1) << 20;
  // Each stack with its guard page, and some room for what the threads allocate at their start.
  std::size_t bytes = std::size_t(count) * (stack + 65536) + (std::size_t(16) << 20);
  void* p = reserve_memory(bytes);
  if (!p) return false;
  release_memory(p, bytes);
  return true;
}

// Unbuffered handles (FILE_FLAG_NO_BUFFERING) take sector-aligned offsets, sizes and buffers;
// sectors are at most 4 KB on the disks in use, which kWriteAlignment covers. Where the file
// system refuses them, the cached path serves.
FileHandle open_for_writing(const std::string& path) {
  FileHandle h;
  for (bool direct : {true, false}) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | (direct ? FILE_FLAG_NO_BUFFERING : 0), nullptr);
    if (file == INVALID_HANDLE_VALUE && direct && GetLastError() == ERROR_INVALID_PARAMETER) continue;
    h.fd = wrap_handle(file, _O_WRONLY | _O_BINARY);
    h.direct = direct && h.fd >= 0;
    break;
  }
  return h;
}

bool write_all(const FileHandle& handle, const void* data, std::size_t bytes, std::uint64_t offset) {
  HANDLE file = os_handle(handle.fd);
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    DWORD chunk = DWORD(bytes < kMaxTransfer ? bytes : kMaxTransfer);
    OVERLAPPED where = at_offset(offset);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, &where) || written == 0) return false;
    p += written;
    offset += written;
    bytes -= written;
  }
  return true;
}

bool finish_writing(FileHandle& handle, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = LONGLONG(size);
  bool ok = SetFileInformationByHandle(os_handle(handle.fd), FileEndOfFileInfo, &end, sizeof end) != 0;
  ok = _close(handle.fd) == 0 && ok;
  handle.fd = -1;
  return ok;
}

void abandon_writing(FileHandle& handle) {
  if (handle.fd >= 0) _close(handle.fd);
  handle.fd = -1;
}

FileHandle open_for_reading(const std::string& path) {
  FileHandle h;
  for (bool direct : {true, false}) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | (direct ? FILE_FLAG_NO_BUFFERING : 0), nullptr);
    if (file == INVALID_HANDLE_VALUE && direct && GetLastError() == ERROR_INVALID_PARAMETER) continue;
    h.fd = wrap_handle(file, _O_RDONLY | _O_BINARY);
    h.direct = direct && h.fd >= 0;
    break;
  }
  return h;
}

long long read_fully(const FileHandle& handle, void* data, std::size_t bytes, std::uint64_t offset) {
  HANDLE file = os_handle(handle.fd);
  char* p = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < bytes) {
    std::size_t left = bytes - got;
    DWORD chunk = DWORD(left < kMaxTransfer ? left : kMaxTransfer);
    OVERLAPPED where = at_offset(offset + got);
    DWORD n = 0;
    if (!ReadFile(file, p + got, chunk, &n, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (n == 0) break;
    got += n;
    // A direct read past the end's last whole block is the end: the offset is now unaligned.
    if (handle.direct && n % kWriteAlignment != 0) break;
  }
  return static_cast<long long>(got);
}

}  // namespace platform
