#pragma once
// How a command fails. Handlers (and the code they call) throw; the dispatch catches per line,
// prints the text and goes on with the next line.
#include <stdexcept>
#include <string>

// A failure whose text is printed unchanged; the texts end with a line end.
class CommandFailure : public std::runtime_error {
 public:
  explicit CommandFailure(const std::string& text) : std::runtime_error(text) {}
};

// A numeric argument that does not parse (or is out of range): printed as "Invalid value".
class InvalidValue : public std::runtime_error {
 public:
  InvalidValue() : std::runtime_error("Invalid value\n") {}
};

// The command word of the command being executed (kept after it returns).
const std::string& current_command();
void set_current_command(const std::string& word);

// "ERROR: <command> <reason>\n".
[[noreturn]] void command_error(const std::string& reason);
// "ERROR: <command> incorrect or missing argument\n".
[[noreturn]] void argument_error();
