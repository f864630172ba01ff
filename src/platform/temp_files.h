// Temporary files: the per-query result file, nameless scratch files (the
// standard-input spool, per-worker join output) and named scratch files (the
// join staging file, which a second executor opens by its name).
//
// Names carry the realtime clock in nanoseconds: the result file is
// "<TEMP>/tavix_<ns>.tmp", other files "<TEMP>/tavix_<tag>_<ns>.tmp" (TEMP
// unset or empty: /tmp). Files are created exclusively, mode
// 0600, never through a symbolic link; when a name is taken the next
// nanosecond value is tried, so concurrent calls never share a file.
// Everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace tavix {

// Returns dir + "/tavix_" + tag + "_" + decimal ns + ".tmp"; with an empty tag
// (the result file) dir + "/tavix_" + decimal ns + ".tmp".
std::string formatTempPath(std::string_view directory, std::string_view tag, __int128 ns);

// Creates formatTempPath(directory, tag, ns) exclusively for ns = first_ns,
// first_ns + 1, ... while a name is taken, at most 1,000 names. On success
// `file` is open and `path` names the file; on any failure `path` is empty,
// so a caller that deletes by `path` never deletes a file it did not create.
// The search behind the functions below, which start it at the clock.
[[nodiscard]] Error createUniqueFile(std::string_view directory, std::string_view tag,
                                     __int128 first_ns, platform::File& file, std::string& path);

// Creates the query's result file. On success `file` is open for reading and
// writing and `path` names it; the caller deletes it by that path.
[[nodiscard]] Error createResultFile(platform::File& file, std::string& path);

// Creates a scratch file whose name is deleted at once: it vanishes when
// `file` is closed.
[[nodiscard]] Error createTempFile(std::string_view tag, platform::File& file);

// Creates a scratch file that keeps its name, for a file that is opened a
// second time by that name: "<TEMP or .>/tavix_<tag>_<ns>.tmp". On success
// `file` is open for reading and writing and `path` names it; the caller
// closes it and deletes it by that path.
[[nodiscard]] Error createNamedTempFile(std::string_view tag, platform::File& file,
                                        std::string& path);

}  // namespace tavix
