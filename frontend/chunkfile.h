// Hash lists as the front end makes and reads them: one "<index> <40 hex digits>" line per
// 512 KiB chunk, the format hashlist prints and a GET names.
#pragma once

#include <cstddef>
#include <string>

#include "engine/common.h"

// The hash list of the regular file at path into *text, one line per chunk, and its chunk count
// into *chunks. Stops between chunks when stop() returns true. 0 on success; -1 with a one-line
// reason in why when the file cannot be read, is empty, or stop() ended it (why then empty).
int hash_list_of_file(const char *path, bool (*stop)(), std::string *text, int *chunks, char *why,
                      size_t why_size);
// Writes text to path unless path already holds exactly text; *written tells which. The new file
// replaces the old one at once (written beside it, then renamed). 0, or -1 with a reason in why.
int write_hash_list(const char *path, const std::string &text, bool *written, char *why,
                    size_t why_size);
// Reads the hash list at path, every non-blank line a chunk line and no index twice: a new list in
// file order that the caller frees with chunklist_free, its length in *count. nullptr with
// "path:line: reason" (or "path: reason") in why when the file cannot be read, a line is no chunk
// line, an index repeats, or it holds no chunk line.
chunkitem *read_hash_list(const char *path, int *count, char *why, size_t why_size);
