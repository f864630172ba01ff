#include "exec/join/join.h"

namespace tavix {

Error runJoinQuery(const ParsedQuery&, const ResultFile&, const QueryOptions&) {
  return Error::Unimplemented;
}

}  // namespace tavix
