#include "exec/aggregate/global_aggregate.h"

namespace tavix {

Error runGlobalAggregateQuery(const ParsedQuery&, const ResultFile&, const QueryOptions&,
                              PreopenedSource) {
  return Error::Unimplemented;
}

}  // namespace tavix
