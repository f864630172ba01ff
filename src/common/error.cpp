#include "common/error.h"

namespace tavix {

namespace {
constexpr std::string_view kErrorNames[] = {
    "",
#define TAVIX_ERROR_NAME(name, code) #name,
    TAVIX_ERROR_LIST(TAVIX_ERROR_NAME)
#undef TAVIX_ERROR_NAME
};
static_assert(std::size(kErrorNames) == kErrorCount + 1);
static_assert(kErrorCount == 115);
}  // namespace

std::string_view errorName(uint16_t code) noexcept {
  if (code == 0 || code > kErrorCount) return kErrorNames[static_cast<uint16_t>(Error::Unexpected)];
  return kErrorNames[code];
}

}  // namespace tavix
