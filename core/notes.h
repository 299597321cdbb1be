#pragma once
// Diagnostics an engine step collects instead of printing them: "#" lines, each ending with a
// line end, in the order they arose. The front end prints them (print_notes) with the answer.
#include <string>
#include <vector>

using Notes = std::vector<std::string>;

// Appends a formatted line to *notes; nothing when notes is nullptr.
void add_note(Notes* notes, const char* format, ...) __attribute__((format(printf, 2, 3)));
