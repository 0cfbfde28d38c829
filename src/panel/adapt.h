// Deciding which replies to the panel get a substitute.
#pragma once

// Icon texts under these prefixes are shared with the host as they are.
extern const char *const shared_path_prefixes[];
extern const int shared_path_prefix_count;

// Index of the first of `count` prefixes that `text` begins with, or -1.
int match_path_prefix(const char *text, const char *const *prefixes, int count);
