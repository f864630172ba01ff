// The error set: codes as cited by number, names as the caller reads them,
// and the way a failing assertion shows an error.
#include "common/error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tavix {
namespace {

TEST(ErrorSet, NamesFollowTheirCodesAndStrayCodesAreUnexpected) {
  EXPECT_EQ(errorName(Error::ThreadQuotaExceeded), "ThreadQuotaExceeded");
  EXPECT_EQ(static_cast<int>(Error::InvalidQuery), 31);
  EXPECT_EQ(static_cast<int>(Error::FileNotFound), 44);
  EXPECT_EQ(static_cast<int>(Error::ColumnNotFound), 76);
  EXPECT_EQ(static_cast<int>(Error::NotSameFileSystem), 115);
  EXPECT_EQ(errorName(Error::NotSameFileSystem), "NotSameFileSystem");
  EXPECT_EQ(errorName(uint16_t{116}), "Unexpected");
  EXPECT_EQ(errorName(uint16_t{0xffff}), "Unexpected");
}

TEST(ErrorSet, EveryCodeHasItsOwnName) {
  std::set<std::string_view> names;
  for (uint16_t code = 1; code <= kErrorCount; ++code) {
    const std::string_view name = errorName(code);
    EXPECT_FALSE(name.empty()) << code;
    EXPECT_TRUE(names.insert(name).second) << name;
  }
  EXPECT_EQ(names.size(), kErrorCount);
}

TEST(ErrorSet, AssertionsShowTheNameAndTheCode) {
  EXPECT_EQ(::testing::PrintToString(Error::OutOfMemory), "OutOfMemory (3)");
  EXPECT_EQ(::testing::PrintToString(Error::ok), "ok (0)");
  EXPECT_OK(Error::ok);
  EXPECT_ERROR(Error::FileTooBig, FileTooBig);
}

}  // namespace
}  // namespace tavix
