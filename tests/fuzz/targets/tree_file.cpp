// load_tree on arbitrary files. The first input byte chooses the mode: even, the rest is the
// file as it is (the checksum turns nearly every change away early); odd, the rest gets its
// correct checksum appended, so that the checks behind it - tree state, counts against the
// rebuilt tree, store sizes against their reservations - meet damaged data too. A load ends
// with an answer and leaves either no tree or a tree that evaluates. (Checksummed files are
// trusted to decode: with compressed stores the reports are not run on them.)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "storage/checksum.h"
#include "storage/compression_level.h"

namespace {

std::string temp_file() {
  static const std::string path = [] {
    char dir[] = "/tmp/travanto-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/input.tree";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  bool fix_checksum = data[0] & 1;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (fix_checksum) {
    StreamChecksum c;
    c.update(bytes.data(), bytes.size());
    std::uint64_t digest = c.digest();
    bytes.append(reinterpret_cast<const char*>(&digest), sizeof digest);
  }
  const std::string path = temp_file();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  fuzz::run_tokens({"load_tree", path});
  if (GameTree* tree = current_tree()) {
    bool plain = compression_in_force() == 0 || tree->start_street > 1;
    if (!fix_checksum || plain) {
      fuzz::run_tokens({"calc_results"});
      fuzz::run_tokens({"show_strategy", "r:0"});
    }
    fuzz::run_tokens({"free_tree"});
  }
  return 0;
}
