#pragma once
// How a command fails. Handlers (and the engine code they call) throw; the dispatch catches per
// line, prints the text and goes on with the next line.
#include <stdexcept>
#include <string>

// A failure whose text is printed unchanged; the texts end with a line end.
class CommandFailure : public std::runtime_error {
 public:
  explicit CommandFailure(const std::string& text) : std::runtime_error(text) {}
};

// A failure of the engine, carrying only its reason ("ranges not set"): the command loop,
// which knows the command word, prints "ERROR: <command> <reason>". A CommandFailure, so that
// callers that only tell failures from successes catch both.
class EngineError : public CommandFailure {
 public:
  explicit EngineError(const std::string& reason) : CommandFailure(reason) {}
  const char* reason() const noexcept { return what(); }
};

// A numeric argument that does not parse (or is out of range): printed as "Invalid value".
class InvalidValue : public std::runtime_error {
 public:
  InvalidValue() : std::runtime_error("Invalid value\n") {}
};

// Throws EngineError(reason).
[[noreturn]] void command_error(const std::string& reason);
// The reason "incorrect or missing argument".
[[noreturn]] void argument_error();
