#include "solver/traversal_jobs.h"

namespace traversal {

Workspace& workspace() {
  static Workspace w;
  return w;
}

// The loop takes the jobs in rounds, one job of every deal per round: a deal's jobs cost
// about the same, different deals' jobs very different amounts (a river subtree against a
// single showdown), so the rounds spread the work evenly over the list and the guided
// schedule's large first chunks get fair shares.
void Workspace::order_jobs() {
  order.clear();
  std::vector<std::size_t>& first = deal_starts;
  first.assign(deals.size() + 1, 0);
  for (const Job& job : jobs) ++first[std::size_t(job.deal) + 1];
  for (std::size_t d = 0; d < deals.size(); ++d) first[d + 1] += first[d];
  for (int round = 0; order.size() < jobs.size(); ++round)
    for (std::size_t d = 0; d < deals.size(); ++d)
      if (first[d] + std::size_t(round) < first[d + 1]) order.push_back(first[d] + std::size_t(round));
}

}  // namespace traversal
