#ifndef TRAFFICGEN_ATOMICFILE_H
#define TRAFFICGEN_ATOMICFILE_H

#include <string>

// Files that are replaced as a whole or not at all: the content goes into a new temporary file
// in the same directory, is flushed to the disk and then renamed over the target, so a crash
// leaves the old file or the new one, never a torn one. Both functions return an empty string
// on success, otherwise the reason (a short Czech phrase) the file cannot be written.

// Checks up front that `path` can be written that way: its directory exists and takes a new
// file, and the path itself is not a directory. Nothing is left behind.
std::string checkFileWritable(const std::string& path);

// Writes `content` to `path` (mode 0644).
std::string writeFileAtomically(const std::string& path, const std::string& content);

#endif
