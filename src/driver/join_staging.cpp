#include "driver/join_staging.h"

namespace tavix {

Error runJoinAggregateStaging(const ParsedQuery&, const ResultFile&, const QueryOptions&) {
  return Error::Unimplemented;
}

}  // namespace tavix
