#pragma once
// The stream object through which tree files are written and read. Transfers are all or
// nothing: a short read or write, or a file that does not open, throws IOException, whose
// text is the reason a command prints ("can't read from file", "can't write to file",
// "invalid file", "out of memory"). Every byte moved also goes into a running checksum.
//
// Writing never touches the target until the end: the data go to a new file beside it, which
// commit() flushes and renames over the target. A file that is not committed (a failure, an
// exception) is removed by the destructor, so an older file at the target survives.
//
// The data move in two large blocks, past the system's cache where the file system allows it:
// while one block goes to the file (or comes from it), the other one fills (or is taken).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <stdexcept>
#include <string>

#include "platform/platform.h"
#include "storage/checksum.h"

class IOException : public std::runtime_error {
 public:
  explicit IOException(const std::string& what) : std::runtime_error(what) {}
};

class BinaryFile {
 public:
  enum class Mode { read, write };

  // Reading opens only regular files (a folder or a FIFO is "can't read from file").
  BinaryFile(const std::string& path, Mode mode);
  ~BinaryFile();
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;

  Mode mode() const { return mode_; }
  bool reading() const { return mode_ == Mode::read; }

  // A request for zero bytes does nothing.
  void read(void* data, std::size_t bytes);
  void write(const void* data, std::size_t bytes);
  // read or write, by the file's mode: one routine can then serve saving and loading.
  void transfer(void* data, std::size_t bytes);

  template <class T>
  void transfer_value(T& value) {
    transfer(&value, sizeof(T));
  }

  // Checksum of every byte transferred so far.
  std::uint64_t checksum() const { return checksum_.digest(); }
  // Reading: true when no byte is left.
  bool at_end();
  // Writing: flushes, closes and renames the file over the target.
  void commit();

 private:
  void close_quietly();
  // Waits for the block in flight; the bytes it moved, or -1.
  long long finish_pending();
  // Writing: sends the current block (`bytes` of it) to the file and switches to the other one.
  void send_block(std::size_t bytes);
  // Reading: starts filling block b; takes the block in flight as the current one (false when
  // the file has no more bytes).
  void request_block(int b);
  bool next_block();

  Mode mode_;
  std::string target_;
  StreamChecksum checksum_;
  platform::FileHandle handle_;
  std::string temporary_;  // writing: the file being written, until commit
  char* blocks_[2] = {nullptr, nullptr};
  int current_ = 0;
  int pending_block_ = 0;      // reading: the block being filled
  std::size_t filled_ = 0;     // bytes in the current block
  std::size_t taken_ = 0;      // reading: bytes of the current block already read
  bool last_block_ = false;    // reading: the block in use is the file's last
  std::uint64_t written_ = 0;  // writing: bytes accepted so far, the file's size
  std::future<long long> pending_;
};
