// GoogleTest support for the error set: a failing assertion on an `Error`
// prints the error's name and code ("OutOfMemory (3)", "ok (0)") instead of
// a bare number, and ASSERT_OK / EXPECT_OK / ASSERT_ERROR / EXPECT_ERROR say
// what a call must return.
//
// Every unit test includes this header first (tavix_unit_test in
// tests/CMakeLists.txt passes it with -include), so all of them print an
// `Error` the same way.
#pragma once

#include <ostream>

#include "common/error.h"

namespace tavix {

// Found by GoogleTest through argument-dependent lookup.
inline void PrintTo(Error e, std::ostream* os) {
  *os << (e == Error::ok ? std::string_view("ok") : errorName(e)) << " ("
      << static_cast<unsigned>(e) << ")";
}

}  // namespace tavix

// The call must succeed.
#define ASSERT_OK(expr) ASSERT_EQ((expr), ::tavix::Error::ok)
#define EXPECT_OK(expr) EXPECT_EQ((expr), ::tavix::Error::ok)

// The call must fail with the named error: ASSERT_ERROR(f(), FileNotFound).
#define ASSERT_ERROR(expr, name) ASSERT_EQ((expr), ::tavix::Error::name)
#define EXPECT_ERROR(expr, name) EXPECT_EQ((expr), ::tavix::Error::name)
