// Throughput of the entropy coder on a river chunk as the high store codes it: 3 actions x 48
// river cards x 1,081 hands, each row predicted by the same action's row of the previous card.
// Two row sets: 16-bit regrets that vary slowly over the hands (in strength order) with runs of
// zero, and 32-bit float bit patterns of average-strategy sums. Bytes are the raw values coded
// (2 or 4 per value); the "ratio" counter is raw bytes over coded bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "platform/platform.h"
#include "storage/entropy_coder.h"

namespace {

constexpr int kActions = 3, kCards = 48, kHands = 1081;

struct Sink {
  std::array<std::vector<std::uint8_t>, entropy::kStreams> data;
  std::array<std::size_t, entropy::kStreams> at{};

  static void write(void* user, int stream, const std::uint8_t* bytes, std::size_t count) {
    auto& d = static_cast<Sink*>(user)->data[std::size_t(stream)];
    d.insert(d.end(), bytes, bytes + count);
  }
  static void read(void* user, int stream, std::uint8_t* bytes, std::size_t count) {
    auto& s = *static_cast<Sink*>(user);
    const auto& d = s.data[std::size_t(stream)];
    std::size_t& at = s.at[std::size_t(stream)];
    if (count > d.size() - at) throw entropy::CorruptData("stream read past its end");
    std::memcpy(bytes, d.data() + at, count);
    at += count;
  }
  void clear() {
    for (auto& d : data) d.clear();
  }
  void rewind() { at.fill(0); }
  std::size_t bytes() const {
    std::size_t total = 0;
    for (const auto& d : data) total += d.size();
    return total;
  }
};

// A smooth curve over the hands: a few sine waves of random phase, scaled to `scale`.
std::vector<double> curve(std::mt19937& rng, double scale) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  double phase[3] = {u(rng) * 6.28, u(rng) * 6.28, u(rng) * 6.28};
  std::vector<double> c(kHands);
  for (int h = 0; h < kHands; ++h) {
    double x = double(h) / kHands;
    c[std::size_t(h)] = scale * (std::sin(3 * x + phase[0]) + 0.5 * std::sin(11 * x + phase[1]) +
                                 0.2 * std::sin(37 * x + phase[2]));
  }
  return c;
}

template <class T>
struct RowSet {
  std::vector<T> values;  // [action][card][hand]
  const T* row(int a, int b) const { return values.data() + (std::size_t(a) * kCards + std::size_t(b)) * kHands; }
};

RowSet<std::uint16_t> regret_rows() {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 12.0);
  RowSet<std::uint16_t> set;
  for (int a = 0; a < kActions; ++a) {
    std::vector<double> base = curve(rng, 9000.0);
    for (int b = 0; b < kCards; ++b) {
      std::vector<double> shift = curve(rng, 600.0);
      for (int h = 0; h < kHands; ++h) {
        double r = base[std::size_t(h)] + shift[std::size_t(h)] + noise(rng);
        set.values.push_back(std::uint16_t(std::clamp(r, 0.0, 65535.0)));  // negative regrets stored as 0
      }
    }
  }
  return set;
}

RowSet<std::uint32_t> average_rows() {
  std::mt19937 rng(2);
  std::normal_distribution<double> noise(0.0, 0.002);
  RowSet<std::uint32_t> set;
  for (int a = 0; a < kActions; ++a) {
    std::vector<double> base = curve(rng, 0.4);
    for (int b = 0; b < kCards; ++b) {
      std::vector<double> shift = curve(rng, 0.05);
      for (int h = 0; h < kHands; ++h) {
        double share = std::clamp(0.5 + base[std::size_t(h)] + shift[std::size_t(h)] + noise(rng), 0.0, 1.0);
        float sum = float(share * 2000.0);  // summed strategy after some thousand iterations
        std::uint32_t bits;
        std::memcpy(&bits, &sum, 4);
        set.values.push_back(bits);
      }
    }
  }
  return set;
}

void encode_row(entropy::Encoder& e, const std::uint16_t* v, const std::uint16_t* p) { e.encode_row16(v, p, kHands); }
void encode_row(entropy::Encoder& e, const std::uint32_t* v, const std::uint32_t* p) { e.encode_row32(v, p, kHands); }
void decode_row(entropy::Decoder& d, std::uint16_t* v, const std::uint16_t* p) { d.decode_row16(v, p, kHands); }
void decode_row(entropy::Decoder& d, std::uint32_t* v, const std::uint32_t* p) { d.decode_row32(v, p, kHands); }

template <class T>
void encode_all(const RowSet<T>& set, Sink& sink) {
  entropy::Encoder e(&Sink::write, &sink);
  for (int a = 0; a < kActions; ++a)
    for (int b = 0; b < kCards; ++b) encode_row(e, set.row(a, b), b > 0 ? set.row(a, b - 1) : nullptr);
  e.finish();
}

// Decodes into `out` (laid out like the set); predictors are the rows already decoded.
template <class T>
void decode_all(Sink& sink, std::vector<T>& out) {
  sink.rewind();
  entropy::Decoder d(&Sink::read, &sink, entropy::OnCorrupt::fatal);
  for (int a = 0; a < kActions; ++a)
    for (int b = 0; b < kCards; ++b) {
      T* row = out.data() + (std::size_t(a) * kCards + std::size_t(b)) * kHands;
      decode_row(d, row, b > 0 ? row - kHands : nullptr);
    }
}

template <class T>
void finish(benchmark::State& state, const RowSet<T>& set, const Sink& sink) {
  double raw = double(set.values.size() * sizeof(T));
  state.SetBytesProcessed(std::int64_t(double(state.iterations()) * raw));
  state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(set.values.size()));
  state.counters["ratio"] = raw / double(sink.bytes());
}

template <class T>
void bench_encode(benchmark::State& state, const RowSet<T>& set, bool plain) {
  entropy::use_plain_path(plain);
  Sink sink;
  for (auto _ : state) {
    sink.clear();
    encode_all(set, sink);
    benchmark::DoNotOptimize(sink.data[0].data());
  }
  finish(state, set, sink);
  entropy::use_plain_path(false);
}

template <class T>
void bench_decode(benchmark::State& state, const RowSet<T>& set, bool plain) {
  entropy::use_plain_path(plain);
  Sink sink;
  encode_all(set, sink);
  std::vector<T> out(set.values.size());
  for (auto _ : state) {
    decode_all(sink, out);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != set.values) state.SkipWithError("decoded rows differ");
  finish(state, set, sink);
  entropy::use_plain_path(false);
}

const bool registered = [] {
  static const RowSet<std::uint16_t> regrets = regret_rows();
  static const RowSet<std::uint32_t> averages = average_rows();
  std::vector<bool> paths{true};
  if (platform::cpu_has_avx2()) paths.push_back(false);
  for (bool plain : paths) {
    const char* path = plain ? "plain" : "avx2";
    char name[64];
    std::snprintf(name, sizeof name, "coder_encode/regrets16/%s", path);
    benchmark::RegisterBenchmark(name, [plain](benchmark::State& s) { bench_encode(s, regrets, plain); });
    std::snprintf(name, sizeof name, "coder_decode/regrets16/%s", path);
    benchmark::RegisterBenchmark(name, [plain](benchmark::State& s) { bench_decode(s, regrets, plain); });
    std::snprintf(name, sizeof name, "coder_encode/averages32/%s", path);
    benchmark::RegisterBenchmark(name, [plain](benchmark::State& s) { bench_encode(s, averages, plain); });
    std::snprintf(name, sizeof name, "coder_decode/averages32/%s", path);
    benchmark::RegisterBenchmark(name, [plain](benchmark::State& s) { bench_decode(s, averages, plain); });
  }
  return true;
}();

}  // namespace
