#pragma once
// The row coder of the entropy-coded ("high") store. A row of per-hand values becomes zigzag
// deltas (against the row's own previous value, or also against a predictor row, whichever has
// fewer non-zero symbols); the symbols go by groups of eight behind a non-zero mask, their bytes
// into sixteen context buffers chosen by the size of the previous symbol, large values through
// escape buffers. Each of the 24 buffers is bound to one numbered output stream and is
// entropy-coded (FSE over bytes) in blocks of at most 64 KB as it fills.
//
// The coder does not know where streams live: it appends to, or takes from, a stream through
// the caller's callback. A store opens one coder per write or read and codes rows in order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace entropy {

constexpr int kStreams = 24;
constexpr int kMaxRowValues = 1081;   // the longest row the coder accepts
constexpr int kBufferBytes = 65536;   // a buffer is flushed as one block when it fills
// Blocks below this size skip FSE (its count header and tables cost more than they save on
// the few kilobytes a chunk's buffers hold, and the time of it was most of a max-level
// iteration): stored raw, or as their one byte when it repeats.
constexpr std::uint32_t kMinCodedBlock = 4096;
constexpr std::uint8_t kCoderId = 2;  // the only coder this engine writes

// Appends `count` bytes to stream `stream` (encoder) / copies the next `count` bytes of it into
// `bytes` (decoder). A read callback that has fewer bytes left must throw CorruptData.
using WriteStream = void (*)(void* user, int stream, const std::uint8_t* bytes, std::size_t count);
using ReadStream = void (*)(void* user, int stream, std::uint8_t* bytes, std::size_t count);

// Coded data that cannot be what an encoder wrote.
class CorruptData : public std::runtime_error {
 public:
  explicit CorruptData(const std::string& what) : std::runtime_error(what) {}
};

// What a decoder does when the data are not what an encoder wrote. Data the engine wrote into
// its own memory can only be corrupt through a fault of the engine: the process ends with
// "fse error" (status 1). Data from outside (files, fuzzers) throw CorruptData instead.
enum class OnCorrupt { fatal, throw_exception };

class Encoder {
 public:
  // Writes the coder id byte into stream 0.
  Encoder(WriteStream write, void* user);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // One row of n values; predictor may be null. n > kMaxRowValues throws std::length_error("").
  void encode_row32(const std::uint32_t* values, const std::uint32_t* predictor, int n);
  void encode_row16(const std::uint16_t* values, const std::uint16_t* predictor, int n);
  // Flushes every non-empty buffer, in buffer order. Nothing may be coded afterwards.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Decoder {
 public:
  // Reads the coder id byte from stream 0: id 2 decodes; ids 0 and 1 (older coders this engine
  // never writes) and any other byte raise CorruptData, also under OnCorrupt::fatal.
  Decoder(ReadStream read, void* user, OnCorrupt on_corrupt = OnCorrupt::fatal);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The inverse of the encoder's calls, given the same predictor (or null) and n.
  void decode_row32(std::uint32_t* values, const std::uint32_t* predictor, int n);
  void decode_row16(std::uint16_t* values, const std::uint16_t* predictor, int n);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Selects the plain symbol path even where the processor has the vector one (tests compare the
// two; both produce identical streams).
void use_plain_path(bool plain);

}  // namespace entropy
