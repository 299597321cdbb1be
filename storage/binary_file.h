#pragma once
// The stream object through which tree files are written and read. Transfers are all or
// nothing: a short read or write, or a file that does not open, throws IOException.
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>

class IOException : public std::runtime_error {
 public:
  explicit IOException(const std::string& what) : std::runtime_error(what) {}
};

class BinaryFile {
 public:
  enum class Mode { read, write };

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

 private:
  std::FILE* file_ = nullptr;
  Mode mode_;
};
