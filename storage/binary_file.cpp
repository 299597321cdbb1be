#include "storage/binary_file.h"

#include "platform/platform.h"

namespace {
constexpr std::size_t kBufferBytes = 1 << 20;
const char* const kCantRead = "can't read from file";
const char* const kCantWrite = "can't write to file";
}  // namespace

BinaryFile::BinaryFile(const std::string& path, Mode mode) : mode_(mode), target_(path) {
  if (mode == Mode::read) {
    platform::FileIdentity id;
    if (!platform::regular_file_identity(path, id)) throw IOException(kCantRead);
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) throw IOException(kCantRead);
  } else {
    if (path.empty() || platform::is_directory(path)) throw IOException(kCantWrite);
    temporary_ = platform::create_file_beside(path);
    if (temporary_.empty()) throw IOException(kCantWrite);
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (file_ == nullptr) {
      platform::remove_file(temporary_);
      throw IOException(kCantWrite);
    }
  }
  // Large transfers bypass the buffer; it serves the many small fields.
  buffer_.resize(kBufferBytes);
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

BinaryFile::~BinaryFile() {
  close_quietly();
  if (!temporary_.empty()) platform::remove_file(temporary_);
}

void BinaryFile::close_quietly() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void BinaryFile::read(void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (mode_ != Mode::read || std::fread(data, 1, bytes, file_) != bytes) throw IOException(kCantRead);
  checksum_.update(data, bytes);
}

void BinaryFile::write(const void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (mode_ != Mode::write || file_ == nullptr || std::fwrite(data, 1, bytes, file_) != bytes)
    throw IOException(kCantWrite);
  checksum_.update(data, bytes);
}

void BinaryFile::transfer(void* data, std::size_t bytes) {
  if (mode_ == Mode::read) {
    read(data, bytes);
  } else {
    write(data, bytes);
  }
}

bool BinaryFile::at_end() {
  if (mode_ != Mode::read) return false;
  int c = std::fgetc(file_);
  if (c == EOF) return true;
  std::ungetc(c, file_);
  return false;
}

void BinaryFile::commit() {
  if (mode_ != Mode::write || file_ == nullptr) throw IOException(kCantWrite);
  // The data go to the system's page cache, not to the disk (no fsync: saving stays fast); a
  // power failure right after the rename may leave the new file incomplete.
  bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok || !platform::replace_file(temporary_, target_)) throw IOException(kCantWrite);
  temporary_.clear();
}
