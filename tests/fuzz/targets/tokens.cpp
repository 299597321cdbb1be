// split_tokens and join_tokens on arbitrary lines. Tokens are never empty and hold no blank;
// together they keep every other byte in order; splitting what join_tokens made gives the same
// tokens back.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line = fuzz::as_text(data, size);
  const Tokens tokens = split_tokens(line);

  std::string kept, concatenated;
  for (char c : line)
    if (c != ' ') kept += c;
  for (const std::string& t : tokens) {
    if (t.empty() || t.find(' ') != std::string::npos) std::abort();
    concatenated += t;
  }
  if (concatenated != kept) std::abort();

  const std::string joined = join_tokens(tokens, 0);
  if (split_tokens(joined) != tokens) std::abort();
  if (!tokens.empty() && joined.size() != kept.size() + tokens.size() - 1) std::abort();
  // From a later first token: the tail of the tokens; past the end: nothing.
  if (tokens.size() > 1 && split_tokens(join_tokens(tokens, 1)) != Tokens(tokens.begin() + 1, tokens.end()))
    std::abort();
  if (!join_tokens(tokens, tokens.size()).empty() || !join_tokens(tokens, tokens.size() + 1).empty()) std::abort();
  return 0;
}
