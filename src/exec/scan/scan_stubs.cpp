#include "exec/scan/scan_executors.h"

namespace tavix {

}  // namespace tavix
