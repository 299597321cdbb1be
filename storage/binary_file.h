#pragma once
// The stream object through which tree files are written and read. Transfers are all or
// nothing: a short read or write, or a file that does not open, throws IOException, whose
// text is the reason a command prints ("can't read from file", "can't write to file",
// "invalid file", "out of memory"). Every byte moved also goes into a running checksum.
//
// Writing never touches the target until the end: the data go to a new file beside it, which
// commit() flushes and renames over the target. A file that is not committed (a failure, an
// exception) is removed by the destructor, so an older file at the target survives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

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

  std::FILE* file_ = nullptr;
  Mode mode_;
  std::string target_;
  std::string temporary_;  // writing: the file being written, until commit
  std::vector<char> buffer_;
  StreamChecksum checksum_;
};
