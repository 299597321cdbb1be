// split_tokens and join_tokens on arbitrary lines. Tokens are never empty and hold no blank;
// together they keep every other byte in order; splitting what join_tokens made gives the same
// tokens back; joined from a later first token it gives the tail, past the end nothing.
#include <algorithm>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string kept = fuzz::as_text(data, size), concatenated;
  const Tokens tokens = split_tokens(kept);
  kept.erase(std::remove(kept.begin(), kept.end(), ' '), kept.end());
  for (const std::string& t : tokens) {
    FUZZ_CHECK(!t.empty() && t.find(' ') == std::string::npos);
    concatenated += t;
  }
  FUZZ_CHECK(concatenated == kept);
  const std::string joined = join_tokens(tokens, 0);
  FUZZ_CHECK(split_tokens(joined) == tokens && (tokens.empty() || joined.size() == kept.size() + tokens.size() - 1));
  FUZZ_CHECK(tokens.size() < 2 || split_tokens(join_tokens(tokens, 1)) == Tokens(tokens.begin() + 1, tokens.end()));
  FUZZ_CHECK(join_tokens(tokens, tokens.size()).empty() && join_tokens(tokens, tokens.size() + 1).empty());
  return 0;
}
