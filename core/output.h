#pragma once
// The output channel. Command answers are collected per input line (print_out) and written as
// one block when the line is finished (flush_pending_output); the solver's reports are written
// at once (print_now). Both writers hold output_lock, so blocks and reports never interleave.
// Process-wide on purpose: the process has one standard output, which every thread writes to.
#include <mutex>
#include <string>

#include "core/notes.h"

// Set once at start-up ("/gui"): lines whose format begins with '#' are printed only then.
void set_gui_mode(bool on);
bool gui_mode();
// Set per input line: a line that began with 0xA7 gets that byte before each answer line.
void set_marker_mode(bool on);

std::recursive_mutex& output_lock();

// Deferred print, printf rules; safe to call from worker threads.
void print_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Immediate print under output_lock; stdout is flushed after it.
void print_now(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends collected diagnostics to the pending answer, under the rule of print_out ("#" lines
// only in GUI mode).
void print_notes(const Notes& notes);
// Writes the pending answer line by line (empty lines dropped, marker applied) and empties it.
void flush_pending_output();
// Drops what is pending without writing it (used when the process ends mid-script).
void discard_pending_output();

// Sends standard output to a file (truncating or appending), or back to the console. Returns
// false when the target cannot be opened; output then stays where it was.
bool redirect_stdout_to_file(const std::string& path, bool append);
bool redirect_stdout_to_console();
// Remembers the process's original standard output, where stdoutback returns to.
void remember_original_stdout();
// Standard descriptors the process was started without get the null device: a file opened
// later would otherwise take descriptor 1 (or 2) and receive the answers.
void occupy_closed_standard_descriptors();

// Ends the process at once with the given status after writing nothing more.
[[noreturn]] void end_process(int status);
