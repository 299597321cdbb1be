// Compressed value arrays against plain ones, and whole solves at every compression level.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "solver/solver.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

#include "spot_fixture.h"

namespace fs = std::filesystem;

namespace {

// Chunks of boards whose hand counts shrink, grow and repeat, so that rows are coded with and
// without predictors; one full river board.
std::shared_ptr<const ValueLayout> test_layout(int actions) {
  return ValueLayout::make(actions, {{40, 33, 33, 50, 7}, {1081}, {1, 9}});
}

struct Form {
  StorageForm kind;
  bool sixteen_bit;
};
const Form kForms[] = {{StorageForm::medium, true}, {StorageForm::medium, false}, {StorageForm::high, true},
                       {StorageForm::high, false}};

std::string form_name(const Form& f) {
  return std::string(f.kind == StorageForm::medium ? "medium" : "high") + (f.sixteen_bit ? "/16" : "/32");
}

// Plays the same random training on a plain and a compressed array, chunk by chunk as the solver
// does, and compares every strategy the two give.
void train_both(NodeValueArray& plain, NodeValueArray& packed, bool sixteen_bit, std::mt19937& rng, int rounds) {
  const ValueLayout& layout = plain.layout();
  int actions = layout.actions;
  std::vector<double> node(1081), reach(1081), fallback(layout.actions);
  std::vector<std::vector<double>> rows(std::size_t(actions), std::vector<double>(1081));
  std::vector<const double*> row_ptrs;
  for (auto& r : rows) row_ptrs.push_back(r.data());
  std::vector<double> sigma_plain(std::size_t(actions) * 1081), sigma_packed(sigma_plain.size());
  kernels::fallback_vector(kernels::Fallback::training, actions, fallback.data());
  std::uniform_real_distribution<double> value(-50.0, 50.0), share(0.0, 1.0);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < layout.chunks.size(); ++k) {
      int chunk = int(k);
      packed.open_chunk(chunk);
      for (int b = 0; b < layout.chunks[k].entry_count; ++b) {
        int n = layout.entry(chunk, b).count;
        for (int h = 0; h < n; ++h) {
          node[std::size_t(h)] = value(rng);
          reach[std::size_t(h)] = share(rng) < 0.2 ? 0.0 : share(rng);
          for (auto& r : rows) r[std::size_t(h)] = value(rng);
        }
        if (sixteen_bit) {
          plain.update_regrets(chunk, b, node.data(), row_ptrs.data(), {}, 4.0);
          packed.update_regrets(chunk, b, node.data(), row_ptrs.data(), {}, 4.0);
          plain.current_strategy(chunk, b, fallback.data(), sigma_plain.data(), std::size_t(n));
          packed.current_strategy(chunk, b, fallback.data(), sigma_packed.data(), std::size_t(n));
        } else {
          // 32-bit arrays here are averages: accumulate a strategy, then read the average.
          for (int a = 0; a < actions; ++a)
            for (int h = 0; h < n; ++h) sigma_plain[std::size_t(a * n + h)] = share(rng) / actions;
          plain.accumulate_average(chunk, b, sigma_plain.data(), std::size_t(n), reach.data(), 1.5);
          packed.accumulate_average(chunk, b, sigma_plain.data(), std::size_t(n), reach.data(), 1.5);
          plain.current_strategy(chunk, b, fallback.data(), sigma_plain.data(), std::size_t(n));
          packed.current_strategy(chunk, b, fallback.data(), sigma_packed.data(), std::size_t(n));
        }
        for (int i = 0; i < actions * n; ++i)
          ASSERT_EQ(sigma_plain[std::size_t(i)], sigma_packed[std::size_t(i)]) << "chunk " << chunk << " board " << b;
      }
      packed.close_chunk(chunk, true);
    }
  }
}

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "travanto_compressed_XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempFolder() { fs::remove_all(path); }
};

TEST(CompressedValueArray, ClosedChunksRefuseAccessAndFreshChunksReadZero) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    CompressedValueArray array(test_layout(2), f.kind, f.sixteen_bit);
    EXPECT_TRUE(array.allocate());
    double fallback[2] = {0.9, 0.1};
    std::vector<double> sigma(2 * 1081);
    try {
      array.current_strategy(0, 0, fallback, sigma.data(), 40);
      ADD_FAILURE() << "a closed chunk was read";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "not open");
    }
    array.open_chunk(1);
    EXPECT_TRUE(array.is_open(1));
    EXPECT_FALSE(array.is_open(0));
    // No regret anywhere: every hand plays the fallback.
    array.current_strategy(1, 0, fallback, sigma.data(), 1081);
    EXPECT_EQ(sigma[0], 0.9);
    EXPECT_EQ(sigma[1081 + 1080], 0.1);
    array.close_chunk(1, false);
    EXPECT_FALSE(array.is_open(1));
    array.close_chunk(1, true);  // closing a closed chunk does nothing
  }
}

TEST(CompressedValueArray, TrainsExactlyLikeThePlainArray) {
  std::mt19937 rng(7);
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    auto layout = test_layout(3);
    std::unique_ptr<NodeValueArray> plain = make_value_array(StorageForm::plain, f.sixteen_bit, layout);
    ASSERT_TRUE(plain->allocate());
    CompressedValueArray packed(layout, f.kind, f.sixteen_bit);
    train_both(*plain, packed, f.sixteen_bit, rng, 4);
    EXPECT_GT(packed.stored_bytes(), 0);
  }
}

// Closing without write-back keeps the store as it was and writes nothing; reading a chunk
// back reads every byte written (the medium store may hold room claimed ahead as well).
TEST(CompressedValueArray, ClosingWithoutWriteBackKeepsTheStoreAndTrafficIsCounted) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    reset_storage_statistics();
    CompressedValueArray array(test_layout(2), f.kind, f.sixteen_bit);
    std::vector<double> ones(1081, 7.0), twos(1081, 300.0);
    array.open_chunk(0);
    array.set_row(0, 3, 1, ones.data());
    array.close_chunk(0, true);
    std::int64_t stored = array.stored_bytes();
    std::uint64_t written = storage_statistics().bytes_written;
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, std::uint64_t(stored));
    EXPECT_EQ(storage_statistics().bytes_read, 0u);
    array.open_chunk(0);
    EXPECT_EQ(storage_statistics().bytes_read, written);
    array.set_row(0, 3, 1, twos.data());
    array.close_chunk(0, false);
    EXPECT_EQ(array.stored_bytes(), stored);
    EXPECT_EQ(storage_statistics().bytes_written, written);
    // What comes back is the written row, not the dropped one.
    array.open_chunk(0);
    std::vector<double> sigma(2 * 50);
    double fallback[2] = {1, 0};
    array.current_strategy(0, 3, fallback, sigma.data(), 50);
    EXPECT_EQ(sigma[0], 0.0);
    EXPECT_EQ(sigma[50], 1.0);
    array.close_chunk(0, false);
  }
}

TEST(CompressedValueArray, SaveAndLoadGiveTheSameStoresAndFlags) {
  TempFolder folder;
  std::mt19937 rng(11);
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    auto layout = test_layout(3);
    std::unique_ptr<NodeValueArray> plain = make_value_array(StorageForm::plain, f.sixteen_bit, layout);
    ASSERT_TRUE(plain->allocate());
    CompressedValueArray original(layout, f.kind, f.sixteen_bit);
    // Never opened: the stores are absent, saved as one zero byte after the flags.
    fs::path empty = folder.path / "empty";
    {
      BinaryFile file(empty.string(), BinaryFile::Mode::write);
      original.save(file);
      file.commit();
    }
    EXPECT_EQ(fs::file_size(empty), 4 * layout->boards.size() + 1);

    train_both(*plain, original, f.sixteen_bit, rng, 2);
    original.flags(0, 2) |= kLockedFlag;
    fs::path first = folder.path / "first", second = folder.path / "second";
    {
      BinaryFile file(first.string(), BinaryFile::Mode::write);
      original.save(file);
      file.commit();
    }
    CompressedValueArray loaded(layout, f.kind, f.sixteen_bit);
    {
      BinaryFile file(first.string(), BinaryFile::Mode::read);
      loaded.load(file);
    }
    EXPECT_TRUE(loaded.locked(0, 2));
    EXPECT_EQ(loaded.stored_bytes(), original.stored_bytes());
    {
      BinaryFile file(second.string(), BinaryFile::Mode::write);
      loaded.save(file);
      file.commit();
    }
    EXPECT_EQ(read_bytes(first), read_bytes(second));
    // The loaded array goes on training exactly like the plain one.
    loaded.flags(0, 2) = 0;
    train_both(*plain, loaded, f.sixteen_bit, rng, 1);

    // A file cut short raises IOException.
    fs::resize_file(first, fs::file_size(first) - 3);
    CompressedValueArray truncated(layout, f.kind, f.sixteen_bit);
    BinaryFile file(first.string(), BinaryFile::Mode::read);
    EXPECT_THROW(truncated.load(file), IOException);
  }
}

// Whole solves: the medium store is lossless, so levels 1 to 3 train exactly as level 0; level 4
// averages river regrets over showdown classes in its first iterations and must reach the same
// game value within the accuracy.
struct CompressedSolve : SpotFixture {
  struct Outcome {
    double ev = 0, exploitability = 0;
    std::uint64_t bytes_written = 0;
  };
  Outcome solve_at(int level, int iterations) {
    restart();
    s.compression_setting = level;
    small_flop_spot();
    GameTree& tree = build();
    tree.params.averaging_delay = 2;  // so that short solves write their averages too
    EXPECT_EQ(s.compression_in_force(), level);
    EXPECT_EQ(tree.storage_forms[0], int(storage_pair_for_level(level).first));
    for (int i = 0; i < iterations; ++i) run_iteration(tree);
    EXPECT_TRUE(evaluate_both(tree));
    return {tree.results.ev[0], tree.results.exploitability, storage_statistics().bytes_written};
  }
};

TEST_F(CompressedSolve, EveryLevelSolvesTheSameGame) {
  const int iterations = 16;
  Outcome plain = solve_at(0, iterations);
  EXPECT_EQ(plain.bytes_written, 0u);
  for (int level = 1; level <= 3; ++level) {
    SCOPED_TRACE(level);
    Outcome o = solve_at(level, iterations);
    EXPECT_EQ(o.ev, plain.ev);
    EXPECT_EQ(o.exploitability, plain.exploitability);
    EXPECT_GT(o.bytes_written, 0u);
  }
  Outcome max = solve_at(4, 80);
  EXPECT_NEAR(max.ev, plain.ev, plain.exploitability + max.exploitability);
  EXPECT_LT(max.exploitability, 0.02 * 100);
}

TEST_F(CompressedSolve, TurnTreesStayPlainAtMax) {
  s.compression_setting = 4;
  board("Td 9d 6h Qc");
  range(0, "AdKd AhKh QsQh 9s9h");
  range(1, "KsKh QdJd TsTh 7h7c");
  line({0, 0, 0, 0});
  line({0, 0, 50, 50});
  GameTree& tree = build();
  EXPECT_EQ(s.compression_in_force(), 4);
  EXPECT_EQ(tree.storage_forms[0], 0);
  EXPECT_EQ(tree.storage_forms[1], 0);
  for (const ActionNode& n : tree.nodes) {
    if (!n.is_decision()) continue;
    EXPECT_EQ(dynamic_cast<CompressedValueArray*>(n.regrets.get()), nullptr);
  }
}

TEST_F(CompressedSolve, ChangingTheLevelOfAPresentTreeDiscardsItsValues) {
  s.compression_setting = 0;
  small_flop_spot();
  GameTree& tree = build();
  for (int i = 0; i < 5; ++i) run_iteration(tree);
  s.compression_setting = 2;
  ASSERT_TRUE(apply_compression(&tree, s.compression_setting));
  EXPECT_EQ(tree.iterations, 0);
  EXPECT_EQ(tree.storage_forms[0], 1);
  ASSERT_TRUE(allocate_tree_storage(tree));
  bool compressed = false;
  for (const ActionNode& n : tree.nodes)
    if (n.is_decision() && n.street == 3) {
      auto* array = dynamic_cast<CompressedValueArray*>(n.regrets.get());
      ASSERT_NE(array, nullptr);
      EXPECT_EQ(array->stored_bytes(), 0);
      compressed = true;
    }
  EXPECT_TRUE(compressed);
  for (int i = 0; i < 5; ++i) run_iteration(tree);
  ASSERT_TRUE(evaluate_both(tree));
  EXPECT_NEAR(tree.results.ev[0] + tree.results.ev[1], 0.0, 1e-9);
}

}  // namespace
