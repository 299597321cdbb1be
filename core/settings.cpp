#include "core/settings.h"

#include <omp.h>

#include <algorithm>

namespace {
std::int64_t g_start_time = 0;
}

void set_start_time(std::int64_t t) { g_start_time = t; }
std::int64_t start_time() { return g_start_time; }

// More workers than a few per processor only cost memory and start-up time, and the OpenMP
// runtime fails (or hangs) creating tens of thousands of them: a typo must not end a session.
int max_thread_count() { return 4 * std::max(1, omp_get_num_procs()); }
