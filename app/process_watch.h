#pragma once
// Background watch for the banned poker clients. While one runs, every command line is refused.
// A low-priority thread scans the process list at start and then every period. Process-wide on
// purpose: it watches the machine, not one conversation.
#include <chrono>
#include <string>

void start_process_watch(std::chrono::milliseconds period = std::chrono::milliseconds(5000));
// The executable name of a banned process found by the last scan; empty when none.
bool banned_process_running();
std::string banned_process_name();
