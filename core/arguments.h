#pragma once
// Token lists and numeric arguments of the line protocol.
#include <string>
#include <vector>

using Tokens = std::vector<std::string>;

// Splits at blanks (0x20) only; runs of blanks give no empty tokens.
Tokens split_tokens(const std::string& line);
// Tokens [first, end) joined by single blanks.
std::string join_tokens(const Tokens& tokens, std::size_t first);

// Leading base-10 number like strtol/strtod: leading blanks and a sign accepted, trailing text
// ignored. No leading number, a value outside the type's range, or a non-finite decimal
// throws InvalidValue.
int parse_int(const std::string& token);
double parse_double(const std::string& token);
