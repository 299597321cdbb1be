#include "storage/binary_file.h"

BinaryFile::BinaryFile(const std::string& path, Mode mode) : mode_(mode) {
  file_ = std::fopen(path.c_str(), mode == Mode::read ? "rb" : "wb");
  if (file_ == nullptr) throw IOException("can't open " + path);
}

BinaryFile::~BinaryFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void BinaryFile::read(void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (std::fread(data, 1, bytes, file_) != bytes) throw IOException("short read");
}

void BinaryFile::write(const void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (std::fwrite(data, 1, bytes, file_) != bytes) throw IOException("short write");
}

void BinaryFile::transfer(void* data, std::size_t bytes) {
  if (mode_ == Mode::read) {
    read(data, bytes);
  } else {
    write(data, bytes);
  }
}
