#include "app/failure.h"

namespace {
std::string g_current_command;
}

const std::string& current_command() { return g_current_command; }
void set_current_command(const std::string& word) { g_current_command = word; }

void command_error(const std::string& reason) {
  throw CommandFailure("ERROR: " + g_current_command + " " + reason + "\n");
}

void argument_error() { command_error("incorrect or missing argument"); }
