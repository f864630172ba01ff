// Deterministic generators of large case-file inputs, so that no megabytes
// are ever committed. `generate name=... kind=... bytes=N [seed=S]`; the
// kind "padded" spreads the rows of the earlier file `from=NAME` among
// padding rows (support/padded_table.h).
#pragma once

#include <map>
#include <string>

// Fills `content` for the `generate` directive's key=value pairs; false with
// `error` set when the kind or a parameter is unknown.
bool generateFixture(const std::map<std::string, std::string>& params, std::string& content,
                     std::string& error);
