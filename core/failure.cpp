#include "core/failure.h"

void command_error(const std::string& reason) { throw EngineError(reason); }

void argument_error() { command_error("incorrect or missing argument"); }
