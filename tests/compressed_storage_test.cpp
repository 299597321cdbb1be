// Compressed value arrays against plain ones, and the forms each compression level builds.
#include <gtest/gtest.h>

#include <random>

#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

#include "spot_fixture.h"
#include "storage_files.h"

namespace {

using namespace storage_test;

// Chunks of boards whose hand counts shrink, grow and repeat, so that rows are coded with and
// without predictors; one full river board.
std::shared_ptr<const ValueLayout> test_layout(int actions) {
  return ValueLayout::make(actions, {{40, 33, 33, 50, 7}, {1081}, {1, 9}});
}

struct Form { StorageForm kind; bool sixteen_bit; };
const Form kForms[] = {{StorageForm::medium, true}, {StorageForm::medium, false}, {StorageForm::high, true},
                       {StorageForm::high, false}};

std::string form_name(const Form& f) {
  return std::string(f.kind == StorageForm::medium ? "medium" : "high") + (f.sixteen_bit ? "/16" : "/32");
}

// Plays the same random training on a plain and a compressed array, chunk by chunk as the solver
// does, and compares every strategy the two give.
void train_both(NodeValueArray& plain, NodeValueArray& packed, bool sixteen_bit, std::mt19937& rng, int rounds) {
  const ValueLayout& layout = plain.layout();
  const int actions = layout.actions;
  std::vector<double> node(1081), reach(1081), fallback(static_cast<std::size_t>(actions)), strategy(std::size_t(actions) * 1081);
  std::vector<std::vector<double>> rows(std::size_t(actions), std::vector<double>(1081));
  std::vector<const double*> row_ptrs;
  for (auto& r : rows) row_ptrs.push_back(r.data());
  std::vector<double> sigma[2] = {strategy, strategy};
  kernels::fallback_vector(kernels::Fallback::training, actions, fallback.data());
  std::uniform_real_distribution<double> value(-50.0, 50.0), share(0.0, 1.0);
  for (int round = 0; round < rounds; ++round)
    for (int chunk = 0; chunk < int(layout.chunks.size()); ++chunk) {
      packed.open_chunk(chunk);
      for (int b = 0; b < layout.chunks[std::size_t(chunk)].entry_count; ++b) {
        int n = layout.entry(chunk, b).count;
        for (int h = 0; h < n; ++h) {
          node[std::size_t(h)] = value(rng);
          reach[std::size_t(h)] = share(rng) < 0.2 ? 0.0 : share(rng);
          for (auto& r : rows) r[std::size_t(h)] = value(rng);
        }
        // 16-bit arrays here are regrets, 32-bit ones averages: a strategy goes in.
        for (int i = 0; i < actions * n; ++i) strategy[std::size_t(i)] = share(rng) / actions;
        NodeValueArray* arrays[2] = {&plain, &packed};
        for (int k = 0; k < 2; ++k) {
          if (sixteen_bit) arrays[k]->update_regrets(chunk, b, node.data(), row_ptrs.data(), {}, 4.0);
          else arrays[k]->accumulate_average(chunk, b, strategy.data(), std::size_t(n), reach.data(), 1.5);
          arrays[k]->current_strategy(chunk, b, fallback.data(), sigma[k].data(), std::size_t(n));
        }
        ASSERT_EQ(sigma[0], sigma[1]) << "chunk " << chunk << " board " << b;
      }
      packed.close_chunk(chunk, true);
    }
}

// Closed chunks refuse access; closing without write-back keeps the store as it was. (A fresh
// chunk reading zero: the training against a plain array.)
TEST(CompressedValueArray, ChunkAccessAndWriteBack) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    CompressedValueArray array(test_layout(2), f.kind, f.sixteen_bit);
    EXPECT_TRUE(array.allocate());
    double training[2] = {0.9, 0.1}, pure[2] = {1, 0};
    std::vector<double> sigma(2 * 1081), ones(1081, 7.0), twos(1081, 300.0);
    EXPECT_THROW(array.current_strategy(0, 0, training, sigma.data(), 40), std::logic_error);
    array.open_chunk(1);
    EXPECT_TRUE(array.is_open(1) && !array.is_open(0));
    array.close_chunk(1, false), array.close_chunk(1, true);  // closing a closed chunk does nothing
    EXPECT_TRUE(!array.is_open(1) && array.stored_bytes() == 0);
    auto write = [&](const std::vector<double>& row, bool keep) {
      array.open_chunk(0), array.set_row(0, 3, 1, row.data()), array.close_chunk(0, keep);
    };
    write(ones, true);
    const std::int64_t stored = array.stored_bytes();
    write(twos, false);
    EXPECT_EQ(array.stored_bytes(), stored);
    array.open_chunk(0), array.current_strategy(0, 3, pure, sigma.data(), 50), array.close_chunk(0, false);
    EXPECT_TRUE(sigma[0] == 0.0 && sigma[50] == 1.0) << "the written row comes back, not the dropped one";
  }
}

// Trains exactly like a plain array; a reload keeps the stores and the locked flag, and the
// loaded array goes on training exactly like the plain one. Never opened, the stores are absent.
TEST(CompressedValueArray, TrainsLikeThePlainArrayThroughAReload) {
  TempDir dir;
  std::mt19937 rng(11);
  for (const Form& f : kForms) {
    SCOPED_TRACE(form_name(f));
    auto layout = test_layout(3);
    auto make = [&] { return std::make_unique<CompressedValueArray>(layout, f.kind, f.sixteen_bit); };
    std::unique_ptr<NodeValueArray> plain = make_value_array(StorageForm::plain, f.sixteen_bit, layout);
    ASSERT_TRUE(plain->allocate());
    auto original = make();
    EXPECT_EQ(reload(*original, make, dir)->stored_bytes(), 0);
    train_both(*plain, *original, f.sixteen_bit, rng, 3);
    original->flags(0, 2) |= kLockedFlag;
    auto loaded = reload(*original, make, dir);
    EXPECT_TRUE(loaded->locked(0, 2));
    loaded->flags(0, 2) = 0;
    train_both(*plain, *loaded, f.sixteen_bit, rng, 1);
  }
}

// Each level builds its trees in its own forms and the compressed ones write to their stores; a
// level set on a present tree gives it new arrays of the new form. (Solves at every level, and
// the values a level change discards: storage_levels.case.)
struct CompressedTree : SpotFixture {};

TEST_F(CompressedTree, EveryLevelStoresInItsForms) {
  for (int level = 0; level <= 4; ++level) {
    restart();
    s.compression_setting = level;
    small_flop_spot();
    GameTree& tree = build();
    s.solver_state.params.averaging_delay = 0;  // so that averages are written too
    EXPECT_EQ(s.compression_in_force(), level);
    EXPECT_EQ(tree.storage_forms[0], int(storage_pair_for_level(level).first));
    reset_storage_statistics();
    for (int i = 0; i < 2; ++i) run_iteration(tree, s.solver_state);
    EXPECT_EQ(storage_statistics().bytes_written > 0, level > 0) << level;
  }
  GameTree& tree = *s.tree;
  ASSERT_EQ(failure({"ai6_set_compression", "2"}), "");  // the command also restarts the solver's count
  ASSERT_TRUE(s.solver_state.iterations == 0 && allocate_tree_storage(tree));
  auto river = std::find_if(tree.nodes.begin(), tree.nodes.end(), [](auto& n) { return n.is_decision() && n.street == 3; });
  ASSERT_NE(river, tree.nodes.end());
  auto* array = dynamic_cast<CompressedValueArray*>(river->regrets.get());
  EXPECT_TRUE(array && array->stored_bytes() == 0) << "new arrays of the new form";
}

}  // namespace
