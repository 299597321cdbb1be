// load_tree on arbitrary files. The first input byte chooses the mode: even, the rest is the
// file as it is (the checksum turns nearly every change away early); odd, the rest gets its
// correct checksum appended, so that the checks behind it - tree state, counts against the
// rebuilt tree, store sizes against their reservations - meet damaged data too. A load ends
// with an answer and leaves either no tree or a tree that evaluates. (Checksummed files are
// trusted to decode: with compressed stores the reports are not run on them.) A loaded tree is
// saved again onto an odd target beside the input, chosen by the first byte: a FIFO, a link to
// a file, a loop of links, a name of 250 bytes. FIFOs and links stay what they are, the file a
// link leads to loads, and no temporary file stays.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fuzz_support.h"
#include "storage/checksum.h"
#include "storage/compression_level.h"

namespace {

const std::string& temp_dir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/travanto-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern));
    std::string d = pattern;
    FUZZ_CHECK(mkfifo((d + "/fifo").c_str(), 0600) == 0 && symlink("saved.tree", (d + "/link").c_str()) == 0 &&
               symlink("loop", (d + "/loop").c_str()) == 0);
    return d;
  }();
  return dir;
}

bool is_kind(const std::string& name, mode_t kind) {
  struct stat st {};
  return lstat((temp_dir() + "/" + name).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    StreamChecksum c;
    c.update(bytes.data(), bytes.size());
    std::uint64_t digest = c.digest();
    bytes.append(reinterpret_cast<const char*>(&digest), sizeof digest);
  }
  const std::string path = temp_dir() + "/input.tree";
  std::ofstream(path, std::ios::binary) << bytes;
  fuzz::run_tokens({"load_tree", path});
  GameTree* tree = fuzz::session().current_tree();
  if (!tree) return 0;
  if (!(data[0] & 1) || tree->compression_level == 0 || tree->start_street > 1) {
    fuzz::run_tokens({"calc_results"});
    fuzz::run_tokens({"show_strategy", "r:0"});
  }
  int which = (data[0] >> 1) & 3;
  const char* targets[] = {"fifo", "link", "loop", nullptr};
  fuzz::run_tokens({"dump_tree", temp_dir() + "/" + (targets[which] ? targets[which] : std::string(250, 'n'))});
  FUZZ_CHECK(is_kind("fifo", S_IFIFO) && is_kind("link", S_IFLNK) && is_kind("loop", S_IFLNK));
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir()))
    FUZZ_CHECK(!entry.path().string().ends_with(".tvtmp"));
  if (which == 1 && is_kind("saved.tree", S_IFREG)) {
    fuzz::run_tokens({"load_tree", temp_dir() + "/link"});
    FUZZ_CHECK(fuzz::session().current_tree());
  }
  fuzz::run_tokens({"free_tree"});
  return 0;
}
