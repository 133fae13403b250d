// Replaces a file atomically: the new bytes go to a temporary file in the same
// folder, are flushed to disk, and then renamed over the target, so a power
// loss leaves either the old or the new file, never a partial one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Returns true when `path` holds exactly `data` afterwards. errno is set on failure.
// A symbolic link at `path` stays a link: the file it leads to is replaced.
// The new file keeps the owner, group and permissions of the one it replaces,
// or of `like` when given (a new file next to a user's own); otherwise it is 0644.
// A file found under the temporary name (the target's plus ".tmp") is removed
// first, never reused.
bool gw_write_file_atomic(const char *path, const void *data, size_t len, const char *like = nullptr);

// Reads a whole file, or its first `limit` bytes. Returns false when it cannot
// be opened or read; throws std::bad_alloc when the contents do not fit in memory.
bool gw_read_file(const char *path, std::string &out, size_t limit = SIZE_MAX);

// Test-only: called with the path at the start of every gw_read_file (a test
// may throw from it to stand for a failed allocation). Null removes it.
using GwReadHook = void (*)(const char *path);
void gw_test_set_read_hook(GwReadHook hook);
