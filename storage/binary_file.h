#pragma once
// The stream object through which tree files are written and read. Transfers are all or
// nothing: a short read or write, or a file that does not open, throws IOException, whose
// text is the reason a command prints ("can't read from file", "can't write to file",
// "invalid file", "out of memory"). Every byte moved also goes into a running checksum.
//
// Writing never touches the target until the end: the data go to a new file beside it, which
// commit() flushes and renames over the target (the file a symbolic link leads to; a target
// that is no regular file is refused, see platform::create_file_beside). A file that is not committed (a failure, an
// exception) is removed by the destructor, so an older file at the target survives.
//
// The data move in a ring of large blocks, past the system's cache where the file system
// allows it: while one block fills (or is taken), the others go to the file (or come from it),
// several transfers at once, each at its own offset.
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

// A file read or written front to back in one mode, with transfer() serving both, so that one
// routine describes a format for saving and loading. Failures throw IOException.
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
  static constexpr int kBlocks = 4;

  void close_quietly();
  // Waits for block b's transfer in flight, if any; the bytes it moved, or -1.
  long long finish(int b);
  // Writing: sends the current block (`bytes` of it) to the file and moves to the next one.
  void send_block(std::size_t bytes);
  // Reading: starts filling block b from the file's next unrequested offset.
  void request_block(int b);
  // Reading: gives the block just taken back for the next offset and takes the next one
  // (false when the file has no more bytes).
  bool next_block();

  Mode mode_;
  std::string target_;
  StreamChecksum checksum_;
  platform::FileHandle handle_;
  std::string temporary_;  // writing: the file being written, until commit
  char* blocks_[kBlocks] = {};
  std::future<long long> pending_[kBlocks];  // each block's transfer in flight
  std::size_t block_bytes_;  // each block's size (reading a file smaller than one: its size)
  int current_ = -1;           // the block being filled or taken (reading: none before the first)
  std::size_t filled_ = 0;     // bytes in the current block
  std::size_t taken_ = 0;      // reading: bytes of the current block already read
  bool last_block_ = false;    // reading: the block in use is the file's last
  bool failed_ = false;        // writing: a transfer failed
  std::uint64_t offset_ = 0;   // the file offset of the next block to send or request
  std::uint64_t written_ = 0;  // writing: bytes accepted so far, the file's size
};
