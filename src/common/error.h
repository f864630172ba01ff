// The closed error set of tavix.
//
// Every failure anywhere in the library is one of these names. The list below
// generates both the enumeration and the name table, so code and name can
// never drift apart. Each entry carries its numeric code (0 means success),
// written out so that a code cited by number can be found by reading; the
// codes are the positions in the list, which a compile-time check holds them
// to. Codes travel upward unchanged beside results and become text
// ("error: " + name) only at the library boundary in src/api.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#define TAVIX_ERROR_LIST(X)                                                    \
  X(ThreadQuotaExceeded, 1)                                                    \
  X(SystemResources, 2)                                                        \
  X(OutOfMemory, 3)                                                            \
  X(LockedMemoryLimitExceeded, 4)                                              \
  X(Unexpected, 5)                                                             \
  X(WriteFailed, 6)                                                            \
  X(ReadFailed, 7)                                                             \
  X(EndOfStream, 8)                                                            \
  X(Unimplemented, 9)                                                          \
  X(InputOutput, 10)                                                           \
  X(IsDir, 11)                                                                 \
  X(OperationAborted, 12)                                                      \
  X(BrokenPipe, 13)                                                            \
  X(ConnectionResetByPeer, 14)                                                 \
  X(ConnectionTimedOut, 15)                                                    \
  X(NotOpenForReading, 16)                                                     \
  X(SocketNotConnected, 17)                                                    \
  X(WouldBlock, 18)                                                            \
  X(Canceled, 19)                                                              \
  X(AccessDenied, 20)                                                          \
  X(ProcessNotFound, 21)                                                       \
  X(LockViolation, 22)                                                         \
  X(PermissionDenied, 23)                                                      \
  X(Streaming, 24)                                                             \
  X(Unseekable, 25)                                                            \
  X(WaitAbandoned, 26)                                                         \
  X(WaitTimeOut, 27)                                                           \
  X(Overflow, 28)                                                              \
  X(UnsupportedSetOperation, 29)                                               \
  X(SubqueriesNotSupported, 30)                                                \
  X(InvalidQuery, 31)                                                          \
  X(UnsupportedJoinType, 32)                                                   \
  X(InvalidJoinSyntax, 33)                                                     \
  X(InvalidExpression, 34)                                                     \
  X(InvalidCharacter, 35)                                                      \
  X(InvalidOperator, 36)                                                       \
  X(UnterminatedQuotedValue, 37)                                               \
  X(NegativeLimitNotAllowed, 38)                                               \
  X(NegativeOffsetNotAllowed, 39)                                              \
  X(EnvironmentVariableNotFound, 40)                                           \
  X(InvalidWtf8, 41)                                                           \
  X(SharingViolation, 42)                                                      \
  X(PathAlreadyExists, 43)                                                     \
  X(FileNotFound, 44)                                                          \
  X(PipeBusy, 45)                                                              \
  X(NoDevice, 46)                                                              \
  X(NameTooLong, 47)                                                           \
  X(InvalidUtf8, 48)                                                           \
  X(BadPathName, 49)                                                           \
  X(NetworkNotFound, 50)                                                       \
  X(AntivirusInterference, 51)                                                 \
  X(SymLinkLoop, 52)                                                           \
  X(ProcessFdQuotaExceeded, 53)                                                \
  X(SystemFdQuotaExceeded, 54)                                                 \
  X(FileTooBig, 55)                                                            \
  X(NoSpaceLeft, 56)                                                           \
  X(NotDir, 57)                                                                \
  X(DeviceBusy, 58)                                                            \
  X(FileLocksNotSupported, 59)                                                 \
  X(FileBusy, 60)                                                              \
  X(NotSupported, 61)                                                          \
  X(FileSystem, 62)                                                            \
  X(UnrecognizedVolume, 63)                                                    \
  X(PathOutsideAllowedRoot, 64)                                                \
  X(ReadOnlyFileSystem, 65)                                                    \
  X(NoStandardHandleAttached, 66)                                              \
  X(DiskQuota, 67)                                                             \
  X(InvalidArgument, 68)                                                       \
  X(NotOpenForWriting, 69)                                                     \
  X(MessageTooBig, 70)                                                         \
  X(MixedAggregateAndNonAggregateSelect, 71)                                   \
  X(EmptyFile, 72)                                                             \
  X(MapFailed, 73)                                                             \
  X(NoHeader, 74)                                                              \
  X(TooManyColumns, 75)                                                        \
  X(ColumnNotFound, 76)                                                        \
  X(NestedFunctionNotSupported, 77)                                            \
  X(TooManyArgs, 78)                                                           \
  X(InvalidInput, 79)                                                          \
  X(StrictModeNonNumericValue, 80)                                             \
  X(UnsupportedHavingComparesTwoAggregates, 81)                                \
  X(OrderByColumnNotFound, 82)                                                 \
  X(AmbiguousColumnReference, 83)                                              \
  X(JoinColumnNotFound, 84)                                                    \
  X(LimitReached, 85)                                                          \
  X(StreamTooLong, 86)                                                         \
  X(ArithmeticExpressionsNotSupported, 87)                                     \
  X(Unsupported, 88)                                                           \
  X(InvalidDate, 89)                                                           \
  X(UnknownDateFormat, 90)                                                     \
  X(InvalidMonth, 91)                                                          \
  X(InvalidDay, 92)                                                            \
  X(InvalidTime, 93)                                                           \
  X(InvalidHour, 94)                                                           \
  X(InvalidMinute, 95)                                                         \
  X(InvalidSecond, 96)                                                         \
  X(DirNotEmpty, 97)                                                           \
  X(Utf8ExpectedContinuation, 98)                                              \
  X(Utf8OverlongEncoding, 99)                                                  \
  X(Utf8CodepointTooLarge, 100)                                                \
  X(CodepointTooLarge, 101)                                                    \
  X(TooManyParentDirs, 102)                                                    \
  X(Utf8InvalidStartByte, 103)                                                 \
  X(ExpectedSecondSurrogateHalf, 104)                                          \
  X(InvalidHandle, 105)                                                        \
  X(Utf8EncodesSurrogateHalf, 106)                                             \
  X(BufferTooSmall, 107)                                                       \
  X(UnsupportedOperation, 108)                                                 \
  X(BadFileFlags, 109)                                                         \
  X(Interrupted, 110)                                                          \
  X(InvalidArguments, 111)                                                     \
  X(CorruptedData, 112)                                                        \
  X(OperationNotSupported, 113)                                                \
  X(SwapFile, 114)                                                             \
  X(NotSameFileSystem, 115)

namespace tavix {

enum class Error : uint16_t {
  ok = 0,
#define TAVIX_ERROR_ENUM(name, code) name = code,
  TAVIX_ERROR_LIST(TAVIX_ERROR_ENUM)
#undef TAVIX_ERROR_ENUM
};

namespace error_list {
#define TAVIX_ERROR_CODE(name, code) code,
inline constexpr uint16_t kCodes[] = {TAVIX_ERROR_LIST(TAVIX_ERROR_CODE)};
#undef TAVIX_ERROR_CODE

// True when the entries carry the codes 1, 2, 3, ... in list order.
constexpr bool codesFollowTheList() noexcept {
  for (size_t i = 0; i < std::size(kCodes); ++i) {
    if (kCodes[i] != i + 1) return false;
  }
  return true;
}
static_assert(codesFollowTheList(), "each error's code must be its position in the list");
}  // namespace error_list

// Number of named errors; valid codes are 1..kErrorCount.
inline constexpr uint16_t kErrorCount = static_cast<uint16_t>(std::size(error_list::kCodes));
static_assert(kErrorCount == static_cast<uint16_t>(Error::NotSameFileSystem));

// Returns the name of a code in 1..kErrorCount and "Unexpected" for any other
// value, so a stray code can never index outside the table.
std::string_view errorName(uint16_t code) noexcept;
inline std::string_view errorName(Error e) noexcept {
  return errorName(static_cast<uint16_t>(e));
}

}  // namespace tavix

// Returns the error of `expr` from the enclosing function when it is not ok.
#define TAVIX_TRY(expr)                                                        \
  do {                                                                         \
    ::tavix::Error tavix_try_error_ = (expr);                                  \
    if (tavix_try_error_ != ::tavix::Error::ok) [[unlikely]]                   \
      return tavix_try_error_;                                                 \
  } while (0)

// Marks an error that is dropped on purpose (for example the outcome of
// deleting a temporary file), so that every such place can be found by grep.
#define TAVIX_IGNORE_ERROR(expr) static_cast<void>(expr)
