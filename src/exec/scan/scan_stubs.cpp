#include "exec/scan/scan_executors.h"

namespace tavix {

Error runStreamingQuery(const ParsedQuery&, const InputFile&, const ResultFile&,
                        const QueryOptions&) {
  return Error::Unimplemented;
}

Error runMappedQuery(const ParsedQuery&, const InputFile&, const ResultFile&,
                     const QueryOptions&) {
  return Error::Unimplemented;
}

Error runParallelMappedQuery(const ParsedQuery&, const InputFile&, const ResultFile&,
                             const QueryOptions&) {
  return Error::Unimplemented;
}

Error runParallelExprQuery(const ParsedQuery&, const InputFile&, const ResultFile&,
                           const QueryOptions&) {
  return Error::Unimplemented;
}

Error runStdinQuery(const ParsedQuery&, const ResultFile&, const QueryOptions&) {
  return Error::Unimplemented;
}

}  // namespace tavix
