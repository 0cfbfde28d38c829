// Text that a client chose (a match rule, a name, a path, its program name),
// made fit for a log line or a comment of a policy file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `text` with every byte that could end, start or disguise a line escaped:
// control bytes, DEL, the C1 controls, the Unicode line and paragraph
// separators and the bidirectional overrides, and bytes that are not UTF-8,
// each as \xNN; a backslash as \\, so that an escape is never ambiguous.
// Past `max_bytes` of `text` the rest is left out and "...(N more bytes)"
// says so. The result is printable UTF-8 without line breaks.
std::string log_escape(std::string_view text, size_t max_bytes = 1024);
// As above; a null pointer is "(null)".
std::string log_escape(const char *text, size_t max_bytes = 1024);
