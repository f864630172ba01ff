#include "exec/group/group_by.h"

namespace tavix {

Error runGroupByQuery(const ParsedQuery&, const ResultFile&, const QueryOptions&,
                      PreopenedSource) {
  return Error::Unimplemented;
}

}  // namespace tavix
