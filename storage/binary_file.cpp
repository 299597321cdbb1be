#include "storage/binary_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "storage/scratch.h"

namespace {
// Blocks of the ring; a multiple of the direct-transfer alignment. Four of 16 MB keep three
// transfers in flight, which a virtual disk serves faster than one large one.
constexpr std::size_t kBlockBytes = std::size_t(16) << 20;
const char* const kCantRead = "can't read from file";
const char* const kCantWrite = "can't write to file";
}  // namespace

BinaryFile::BinaryFile(const std::string& path, Mode mode) : mode_(mode), target_(path), block_bytes_(kBlockBytes) {
  const char* failure = mode == Mode::read ? kCantRead : kCantWrite;
  if (mode == Mode::read) {
    platform::FileIdentity id;
    if (!platform::regular_file_identity(path, id)) throw IOException(kCantRead);
    handle_ = platform::open_for_reading(path);
    // A small file gets blocks of its own size: each block is a fresh allocation and a full
    // transfer, which costs a short file (a tree, a range file) as much as 16 MB would.
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size < kBlockBytes) {
      std::size_t a = platform::kWriteAlignment;
      block_bytes_ = std::max(a, (std::size_t(size) + a - 1) / a * a);
    }
  } else {
    temporary_ = platform::create_file_beside(path, target_);
    if (temporary_.empty()) throw IOException(kCantWrite);
    handle_ = platform::open_for_writing(temporary_);
  }
  try {
    if (handle_.fd < 0) throw IOException(failure);
    for (char*& b : blocks_) b = static_cast<char*>(scratch_allocate(block_bytes_, platform::kWriteAlignment));
    if (mode == Mode::read)
      for (int b = 0; b < kBlocks; ++b) request_block(b);
    else
      current_ = 0;
  } catch (const std::bad_alloc&) {
    close_quietly();
    if (!temporary_.empty()) platform::remove_file(temporary_);
    throw IOException("out of memory");
  } catch (...) {
    close_quietly();
    if (!temporary_.empty()) platform::remove_file(temporary_);
    throw;
  }
}

BinaryFile::~BinaryFile() {
  close_quietly();
  if (!temporary_.empty()) platform::remove_file(temporary_);
}

void BinaryFile::close_quietly() {
  for (auto& p : pending_)
    if (p.valid()) p.wait();
  platform::abandon_writing(handle_);
  for (char*& b : blocks_) {
    if (b != nullptr) scratch_free(b);
    b = nullptr;
  }
}

long long BinaryFile::finish(int b) { return pending_[b].valid() ? pending_[b].get() : 0; }

// A transfer thread that cannot be started is a lack of memory (address space).
template <class Task>
std::future<long long> start_transfer(Task task) {
  try {
    return std::async(std::launch::async, std::move(task));
  } catch (const std::system_error&) {
    throw IOException("out of memory");
  }
}

void BinaryFile::request_block(int b) {
  pending_[b] = start_transfer([handle = handle_, block = blocks_[b], bytes = block_bytes_, offset = offset_] {
    return platform::read_fully(handle, block, bytes, offset);
  });
  offset_ += block_bytes_;
}

bool BinaryFile::next_block() {
  if (last_block_) return false;
  if (current_ >= 0) request_block(current_);
  current_ = (current_ + 1) % kBlocks;
  long long got = finish(current_);
  if (got < 0) throw IOException(kCantRead);
  filled_ = std::size_t(got);
  taken_ = 0;
  last_block_ = filled_ < block_bytes_;
  return filled_ > 0;
}

void BinaryFile::read(void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (mode_ != Mode::read) throw IOException(kCantRead);
  char* p = static_cast<char*>(data);
  for (std::size_t left = bytes; left > 0;) {
    if (taken_ == filled_ && !next_block()) throw IOException(kCantRead);
    std::size_t n = std::min(left, filled_ - taken_);
    std::memcpy(p, blocks_[current_] + taken_, n);
    taken_ += n;
    p += n;
    left -= n;
  }
  checksum_.update(data, bytes);
}

bool BinaryFile::at_end() {
  if (mode_ != Mode::read) return false;
  return taken_ == filled_ && !next_block();
}

void BinaryFile::send_block(std::size_t bytes) {
  pending_[current_] = start_transfer([handle = handle_, block = blocks_[current_], bytes, offset = offset_] {
    return platform::write_all(handle, block, bytes, offset) ? static_cast<long long>(bytes) : -1LL;
  });
  offset_ += bytes;
  current_ = (current_ + 1) % kBlocks;
  filled_ = 0;
  // The next block is free once its earlier transfer is done.
  if (finish(current_) < 0) failed_ = true;
  if (failed_) throw IOException(kCantWrite);
}

void BinaryFile::write(const void* data, std::size_t bytes) {
  if (bytes == 0) return;
  if (mode_ != Mode::write || handle_.fd < 0) throw IOException(kCantWrite);
  checksum_.update(data, bytes);
  written_ += bytes;
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    std::size_t n = std::min(bytes, block_bytes_ - filled_);
    std::memcpy(blocks_[current_] + filled_, p, n);
    filled_ += n;
    p += n;
    bytes -= n;
    if (filled_ == block_bytes_) send_block(block_bytes_);
  }
}

void BinaryFile::transfer(void* data, std::size_t bytes) {
  if (mode_ == Mode::read) {
    read(data, bytes);
  } else {
    write(data, bytes);
  }
}

void BinaryFile::commit() {
  if (mode_ != Mode::write || handle_.fd < 0) throw IOException(kCantWrite);
  // A direct write takes whole aligned blocks: the tail goes out padded with zeros, and the
  // file is then cut to its size. The data reach the device or the system's cache, with no
  // fsync (saving stays fast); a power failure right after the rename may leave the new file
  // incomplete.
  if (filled_ > 0) {
    std::size_t bytes = filled_;
    if (handle_.direct) {
      bytes = (filled_ + platform::kWriteAlignment - 1) / platform::kWriteAlignment * platform::kWriteAlignment;
      std::memset(blocks_[current_] + filled_, 0, bytes - filled_);
    }
    send_block(bytes);
  }
  for (int b = 0; b < kBlocks; ++b)
    if (finish(b) < 0) failed_ = true;
  bool ok = !failed_ && platform::finish_writing(handle_, written_);
  close_quietly();
  if (!ok || !platform::replace_file(temporary_, target_)) throw IOException(kCantWrite);
  temporary_.clear();
}
