// The closed error set of tavix.
//
// Every failure anywhere in the library is one of these names. The list below
// generates both the enumeration (its numeric codes are the positions in the
// list, 0 meaning success) and the name table, so code and name can never
// drift apart. Codes travel upward unchanged beside results and become text
// ("error: " + name) only at the library boundary in src/api.
#pragma once

#include <cstdint>
#include <string_view>

#define TAVIX_ERROR_LIST(X)                                                    \
  X(ThreadQuotaExceeded)                                                       \
  X(SystemResources)                                                           \
  X(OutOfMemory)                                                               \
  X(LockedMemoryLimitExceeded)                                                 \
  X(Unexpected)                                                                \
  X(WriteFailed)                                                               \
  X(ReadFailed)                                                                \
  X(EndOfStream)                                                               \
  X(Unimplemented)                                                             \
  X(InputOutput)                                                               \
  X(IsDir)                                                                     \
  X(OperationAborted)                                                          \
  X(BrokenPipe)                                                                \
  X(ConnectionResetByPeer)                                                     \
  X(ConnectionTimedOut)                                                        \
  X(NotOpenForReading)                                                         \
  X(SocketNotConnected)                                                        \
  X(WouldBlock)                                                                \
  X(Canceled)                                                                  \
  X(AccessDenied)                                                              \
  X(ProcessNotFound)                                                           \
  X(LockViolation)                                                             \
  X(PermissionDenied)                                                          \
  X(Streaming)                                                                 \
  X(Unseekable)                                                                \
  X(WaitAbandoned)                                                             \
  X(WaitTimeOut)                                                               \
  X(Overflow)                                                                  \
  X(UnsupportedSetOperation)                                                   \
  X(SubqueriesNotSupported)                                                    \
  X(InvalidQuery)                                                              \
  X(UnsupportedJoinType)                                                       \
  X(InvalidJoinSyntax)                                                         \
  X(InvalidExpression)                                                         \
  X(InvalidCharacter)                                                          \
  X(InvalidOperator)                                                           \
  X(UnterminatedQuotedValue)                                                   \
  X(NegativeLimitNotAllowed)                                                   \
  X(NegativeOffsetNotAllowed)                                                  \
  X(EnvironmentVariableNotFound)                                               \
  X(InvalidWtf8)                                                               \
  X(SharingViolation)                                                          \
  X(PathAlreadyExists)                                                         \
  X(FileNotFound)                                                              \
  X(PipeBusy)                                                                  \
  X(NoDevice)                                                                  \
  X(NameTooLong)                                                               \
  X(InvalidUtf8)                                                               \
  X(BadPathName)                                                               \
  X(NetworkNotFound)                                                           \
  X(AntivirusInterference)                                                     \
  X(SymLinkLoop)                                                               \
  X(ProcessFdQuotaExceeded)                                                    \
  X(SystemFdQuotaExceeded)                                                     \
  X(FileTooBig)                                                                \
  X(NoSpaceLeft)                                                               \
  X(NotDir)                                                                    \
  X(DeviceBusy)                                                                \
  X(FileLocksNotSupported)                                                     \
  X(FileBusy)                                                                  \
  X(NotSupported)                                                              \
  X(FileSystem)                                                                \
  X(UnrecognizedVolume)                                                        \
  X(PathOutsideAllowedRoot)                                                    \
  X(ReadOnlyFileSystem)                                                        \
  X(NoStandardHandleAttached)                                                  \
  X(DiskQuota)                                                                 \
  X(InvalidArgument)                                                           \
  X(NotOpenForWriting)                                                         \
  X(MessageTooBig)                                                             \
  X(MixedAggregateAndNonAggregateSelect)                                       \
  X(EmptyFile)                                                                 \
  X(MapFailed)                                                                 \
  X(NoHeader)                                                                  \
  X(TooManyColumns)                                                            \
  X(ColumnNotFound)                                                            \
  X(NestedFunctionNotSupported)                                                \
  X(TooManyArgs)                                                               \
  X(InvalidInput)                                                              \
  X(StrictModeNonNumericValue)                                                 \
  X(UnsupportedHavingComparesTwoAggregates)                                    \
  X(OrderByColumnNotFound)                                                     \
  X(AmbiguousColumnReference)                                                  \
  X(JoinColumnNotFound)                                                        \
  X(LimitReached)                                                              \
  X(StreamTooLong)                                                             \
  X(ArithmeticExpressionsNotSupported)                                         \
  X(Unsupported)                                                               \
  X(InvalidDate)                                                               \
  X(UnknownDateFormat)                                                         \
  X(InvalidMonth)                                                              \
  X(InvalidDay)                                                                \
  X(InvalidTime)                                                               \
  X(InvalidHour)                                                               \
  X(InvalidMinute)                                                             \
  X(InvalidSecond)                                                             \
  X(DirNotEmpty)                                                               \
  X(Utf8ExpectedContinuation)                                                  \
  X(Utf8OverlongEncoding)                                                      \
  X(Utf8CodepointTooLarge)                                                     \
  X(CodepointTooLarge)                                                         \
  X(TooManyParentDirs)                                                         \
  X(Utf8InvalidStartByte)                                                      \
  X(ExpectedSecondSurrogateHalf)                                               \
  X(InvalidHandle)                                                             \
  X(Utf8EncodesSurrogateHalf)                                                  \
  X(BufferTooSmall)                                                            \
  X(UnsupportedOperation)                                                      \
  X(BadFileFlags)                                                              \
  X(Interrupted)                                                               \
  X(InvalidArguments)                                                          \
  X(CorruptedData)                                                             \
  X(OperationNotSupported)                                                     \
  X(SwapFile)                                                                  \
  X(NotSameFileSystem)

namespace tavix {

enum class Error : uint16_t {
  ok = 0,
#define TAVIX_ERROR_ENUM(name) name,
  TAVIX_ERROR_LIST(TAVIX_ERROR_ENUM)
#undef TAVIX_ERROR_ENUM
};

// Number of named errors; valid codes are 1..kErrorCount.
inline constexpr uint16_t kErrorCount = static_cast<uint16_t>(Error::NotSameFileSystem);

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
