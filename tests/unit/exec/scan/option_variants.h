// The executor options the exported functions never set, as the scan tests
// vary them: no header row, strict mode, JSON lines, an omitted header and a
// ";" delimiter.
#pragma once

#include "exec/executor.h"

namespace tavix::test {

struct OptionVariants {
  QueryOptions plain;
  QueryOptions headerless;
  QueryOptions strict;     // headerless and strict
  QueryOptions lines;      // headerless, JSON lines
  QueryOptions bare;       // headerless, no header row written
  QueryOptions semicolon;  // ";" as the delimiter

  OptionVariants() {
    headerless.no_header_row = true;
    strict = headerless;
    strict.strict = true;
    lines = headerless;
    lines.output_format = OutputFormat::json_lines;
    bare = headerless;
    bare.omit_header = true;
    semicolon.delimiter = ';';
  }
};

}  // namespace tavix::test
