// The entropy decoder on arbitrary streams, as a damaged store would hand it over: the first
// byte chooses 16- or 32-bit rows and their count, the next 48 bytes the 24 streams' lengths,
// the rest their bytes. Decoding either ends or throws CorruptData; FSE on the raw input
// either decodes or returns an error code.
#include <algorithm>

#include "fuzz_support.h"
#include "storage/entropy_coder.h"
#include "storage/fse.h"

namespace {

struct Streams {
  std::vector<std::uint8_t> bytes[entropy::kStreams];
  std::size_t at[entropy::kStreams] = {};
};

void read(void* user, int stream, std::uint8_t* out, std::size_t count) {
  auto& s = *static_cast<Streams*>(user);
  if (s.bytes[stream].size() - s.at[stream] < count) throw entropy::CorruptData("stream ends");
  std::copy_n(s.bytes[stream].begin() + std::ptrdiff_t(s.at[stream]), count, out);
  s.at[stream] += count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + 2 * entropy::kStreams) return 0;
  Streams s;
  std::size_t at = 1 + 2 * entropy::kStreams;
  for (int k = 0; k < entropy::kStreams; ++k) {
    std::size_t take = std::min(std::size_t(data[1 + 2 * k]) | std::size_t(data[2 + 2 * k]) << 8, size - at);
    s.bytes[k].assign(data + at, data + at + take);
    at += take;
  }
  try {
    entropy::Decoder decoder(read, &s, entropy::OnCorrupt::throw_exception);
    std::vector<std::uint32_t> row32(entropy::kMaxRowValues), previous32(entropy::kMaxRowValues);
    std::vector<std::uint16_t> row16(entropy::kMaxRowValues), previous16(entropy::kMaxRowValues);
    for (int r = 0; r < 1 + (data[0] >> 1) % 16; ++r) {
      int n = 1 + (r * 389 + int(size)) % entropy::kMaxRowValues;
      if (data[0] & 1)
        decoder.decode_row16(row16.data(), r % 2 ? previous16.data() : nullptr, n);
      else
        decoder.decode_row32(row32.data(), r % 2 ? previous32.data() : nullptr, n);
      previous16.swap(row16);
      previous32.swap(row32);
    }
  } catch (const entropy::CorruptData&) {
  }
  std::vector<std::uint8_t> out(std::size_t(data[0]) * 256 + 1);
  int result = fse_decompress(out.data(), out.size(), data, size);
  FUZZ_CHECK(result <= 0 || std::size_t(result) == out.size());
  return 0;
}
