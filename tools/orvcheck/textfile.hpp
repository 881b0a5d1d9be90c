// Replaces a file in one step, for node_exporter's textfile collector.
#pragma once

#include <optional>
#include <string>

namespace orvcheck {

// Writes `content` to a temporary file beside `path` (its name starts with
// ".orvcheck-"), flushes it to disk, makes it readable by everyone (mode 0644)
// and renames it over `path`, which must be a regular file or a symbolic link
// if it exists. Returns the reason on failure, when `path` is as it was and
// the temporary file is gone.
std::optional<std::string> ReplaceFile(const std::string& path, const std::string& content);

}  // namespace orvcheck
