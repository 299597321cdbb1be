#include "tree/schematic_tree.h"

#include <algorithm>
#include <cmath>

#include "core/failure.h"

namespace {
SchematicNode* add_child(SchematicNode* parent, double key) {
  auto node = std::make_unique<SchematicNode>();
  node->parent = parent;
  SchematicNode* raw = node.get();
  parent->children.emplace(key, std::move(node));
  return raw;
}

double largest_key(const SchematicNode& node) {
  double m = 0;
  for (const auto& [key, child] : node.children) m = std::max({m, key, largest_key(*child)});
  return m;
}
}  // namespace

SchematicNode* SchematicNode::child(double key) const {
  auto it = children.find(key);
  return it == children.end() ? nullptr : it->second.get();
}

std::unique_ptr<SchematicNode> copy_lines(const SchematicNode& root) {
  auto copy = std::make_unique<SchematicNode>();
  copy->player = root.player;
  copy->street = root.street;
  copy->bets = root.bets;
  copy->record_index = root.record_index;
  copy->amount = root.amount;
  copy->invested = root.invested;
  for (const auto& [key, child] : root.children) {
    std::unique_ptr<SchematicNode> c = copy_lines(*child);
    c->parent = copy.get();
    copy->children.emplace(key, std::move(c));
  }
  return copy;
}

LineMerger::LineMerger(SchematicNode& root, bool force) : force_(force), current_(&root) {
  root.player = root.street = root.bets = 0;
  root.amount = 0;
  root.invested = {0, 0};
}

void LineMerger::add(double v) {
  if (v < last_ || v > kMaxLineAmount) argument_error();
  if (force_) std::erase_if(current_->children, [v](const auto& kv) { return kv.first != v; });
  SchematicNode* child = current_->child(v);
  bool is_new = child == nullptr;
  if (is_new) child = add_child(current_, v);

  if (v > last_) {  // bet or raise
    ++bets_;
    player_ = 1 - player_;
    last_ = v;
    checked_ = false;
  } else if (bets_ == 0 && !checked_) {  // check
    player_ = 1 - player_;
    checked_ = true;
  } else {  // check behind or call: the street ends, OOP opens the next
    ++street_;
    bets_ = 0;
    checked_ = false;
    player_ = 0;
  }

  child->street = street_;
  child->player = player_;
  child->bets = bets_;
  child->amount = v;
  child->invested = current_->invested;
  child->invested[current_->player] = v;

  if (is_new && (bets_ > 0 || checked_)) {
    if (!child->child(v)) {  // the call after a bet, the check behind after a check
      SchematicNode* answer = add_child(child, v);
      answer->amount = v;
      answer->invested = {v, v};
      answer->street = street_;
    }
    if (bets_ > 0 && !child->child(kFoldKey)) {
      SchematicNode* fold = add_child(child, kFoldKey);
      fold->amount = current_->amount;
      fold->invested[player_] = current_->amount;
      fold->invested[1 - player_] = v;
      fold->street = street_;
    }
  }
  current_ = child;
}

void remove_line(SchematicNode& root, const std::vector<double>& amounts) {
  SchematicNode* current = &root;
  double previous = 0;
  for (std::size_t i = 0; i < amounts.size(); ++i) {
    double v = amounts[i];
    double key = (v == 0 && previous > 0) ? kFoldKey : v;
    SchematicNode* child = current->child(key);
    if (!child) command_error("Specified line doesn't exists.");
    if (i + 1 == amounts.size())
      current->children.erase(key);
    else
      current = child;
    previous = v;
  }
}

int effective_stack(const SchematicNode& root) { return static_cast<int>(largest_key(root)); }
