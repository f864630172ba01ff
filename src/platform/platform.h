// The operating-system surface of tavix.
//
// Every call tavix makes to the operating system goes through these free
// functions: threads with a chosen stack size, the exclusive lock and the
// process-wide standard-error lock, files (open, create, delete, size, read,
// positioned read, write, seek), read-only mappings, standard input, the
// processor count, the precise clock and the TEMP variable. The
// implementation is POSIX (platform_posix.cpp). errno values become error
// names in exactly one place, `errorFromErrno`; EINTR is retried here and
// never surfaces.
//
// Thread contract: every function may be called from any thread. A `File` may
// be used by several threads at once only through `readAt`, which does not
// move the file position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace tavix::platform {

// ---------------------------------------------------------------- files

// An open file descriptor; `fd` is -1 when closed. Copies share the
// descriptor and none of them closes it: the one `OwnedFile` holding it
// does (or, for a handle nobody owns, an explicit `closeFile`).
struct File {
  int fd = -1;
  bool isOpen() const { return fd >= 0; }
};

// Which operation failed: the same errno value names different errors for a
// read, a write, a seek or an open.
enum class IoOp : uint8_t { open, create, read, write, seek, size, map };

// Maps an errno value of `op` to the error set.
Error errorFromErrno(int err, IoOp op) noexcept;

// Opens an existing regular file (or a link to one) for reading, relative
// to the current directory. The open never blocks: anything but a regular
// file fails at once, a directory with IsDir, a FIFO (with or without a
// writer, its data left unread), socket or device with Unseekable.
[[nodiscard]] Error openForReading(std::string_view path, File& out) noexcept;

// Creates a new file for reading and writing, exclusively (an existing name,
// a planted symbolic link included, fails with PathAlreadyExists), mode 0600.
[[nodiscard]] Error createExclusive(std::string_view path, File& out) noexcept;

// Removes the name; open descriptors stay usable.
[[nodiscard]] Error deleteFile(std::string_view path) noexcept;

void closeFile(File& file) noexcept;

// The owner of one open descriptor: closes it when destroyed or replaced.
// Move-only, so exactly one owner closes a descriptor; the plain `File`
// handed out by `get` is a borrowed view for the calls below.
class OwnedFile {
 public:
  OwnedFile() = default;
  explicit OwnedFile(File file) noexcept : file_(file) {}
  ~OwnedFile() { closeFile(file_); }
  OwnedFile(OwnedFile&& other) noexcept : file_(other.release()) {}
  OwnedFile& operator=(OwnedFile&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;

  File get() const noexcept { return file_; }
  bool isOpen() const noexcept { return file_.isOpen(); }
  // Closes the descriptor held so far and takes `file`.
  void reset(File file = File{}) noexcept {
    closeFile(file_);
    file_ = file;
  }
  // Gives the descriptor up without closing it.
  File release() noexcept {
    const File f = file_;
    file_ = File{};
    return f;
  }

 private:
  File file_;
};

// `openForReading` and `createExclusive` into an owner, which closes what
// it held before and holds nothing on failure.
[[nodiscard]] Error openForReading(std::string_view path, OwnedFile& out) noexcept;
[[nodiscard]] Error createExclusive(std::string_view path, OwnedFile& out) noexcept;

// Closes a plain `File` variable on every way out of a scope (for handles
// that are not held by an `OwnedFile`). The file may be opened after the
// closer is made; a file never opened is left alone.
class FileCloser {
 public:
  explicit FileCloser(File& file) noexcept : file_(file) {}
  ~FileCloser() { closeFile(file_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  File& file_;
};

[[nodiscard]] Error fileSize(File file, uint64_t& size) noexcept;

// Reads at most `len` bytes at the current position; `got` 0 means the end.
[[nodiscard]] Error readSome(File file, void* buf, size_t len, size_t& got) noexcept;

// Reads at most `len` bytes at `offset` without moving the file position;
// `got` 0 means the end. Safe to call from several threads on one File.
[[nodiscard]] Error readAt(File file, uint64_t offset, void* buf, size_t len,
                           size_t& got) noexcept;

// Writes every byte of `data` at the current position.
[[nodiscard]] Error writeAll(File file, const void* data, size_t len) noexcept;

// Appends the whole of `from` (from its offset 0 to its end) at the current
// position of `to`, which moves past the bytes. The bytes are copied inside
// the system where it can, else read by positioned reads into a buffer and
// written. `from`'s position is not used. Returns the read or write error.
[[nodiscard]] Error appendWholeFile(File from, File to) noexcept;

// Copies `length` bytes of `from` at `from_offset` into `to` at
// `to_offset`, moving neither file's position. The bytes are copied inside
// the system where it can, else read and written by positioned calls through
// a buffer. Returns the read or write error; EndOfStream when `from`
// ends first.
[[nodiscard]] Error copyFileRangeAt(File from, uint64_t from_offset, uint64_t length, File to,
                                    uint64_t to_offset) noexcept;

// Cuts the file (open for writing) to `size` bytes; the position is kept.
[[nodiscard]] Error truncateFile(File file, uint64_t size) noexcept;

// The current file position.
[[nodiscard]] Error filePosition(File file, uint64_t& offset) noexcept;

// Moves the file position to the absolute `offset`.
[[nodiscard]] Error seekTo(File file, uint64_t offset) noexcept;

// The process's standard input (descriptor 0). NoStandardHandleAttached
// when the process has none open.
[[nodiscard]] Error standardInput(File& out) noexcept;

// ---------------------------------------------------------------- mapping

// A read-only, private view of a whole file. Owns its munmap: the view is
// released by `unmap` or by the destructor. An empty file has an empty view
// and no mapping.
class MappedView {
 public:
  MappedView() = default;
  ~MappedView() { unmap(); }
  MappedView(MappedView&& other) noexcept { *this = static_cast<MappedView&&>(other); }
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view bytes() const { return {data_, size_}; }
  void unmap() noexcept;

 private:
  friend Error mapFileReadOnly(File file, uint64_t size, MappedView& out) noexcept;
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// Maps the first `size` bytes of `file` read-only. Size 0 gives an empty view
// and no error; a failed mapping is MapFailed.
[[nodiscard]] Error mapFileReadOnly(File file, uint64_t size, MappedView& out) noexcept;

// ---------------------------------------------------------------- threads

struct Thread {
  uint64_t handle = 0;
  bool started = false;
};

inline constexpr size_t kQueryThreadStack = 64u << 20;   // the per-call query worker
inline constexpr size_t kWorkerThreadStack = 16u << 20;  // executor workers

// Starts `body(arg)` on a new thread with the given stack size. Unexpected
// (or ThreadQuotaExceeded / SystemResources) when it cannot be started.
[[nodiscard]] Error startThread(Thread& thread, size_t stack_size, void (*body)(void*),
                                void* arg) noexcept;

// Waits for a started thread to end; a thread never started is ignored.
void joinThread(Thread& thread) noexcept;

// Runs `body(arg, i)` for every i in [0, count), each on its own thread of
// `stack_size` bytes, and waits for all of them: the one way a group of
// threads is run. Threads are started in index order. When thread i cannot
// be started, no later one is, the threads already running are waited for,
// `started` is i and the start error is returned (OutOfMemory, with
// `started` 0, when the group's handles cannot be allocated); the caller
// treats index i as failed with that error and the indexes after it as never
// run. On success `started` is `count`. Call it from one thread; `body` runs
// concurrently on all of them.
//
// On a thread that holds a `WorkerCrewScope` the group runs on the crew's
// threads: thread i of every group is the crew's thread i, started by the
// first group that needs it and waiting for the next group between groups,
// so a call that runs several groups one after the other starts each thread
// once. Everything above holds as for threads started per group.
[[nodiscard]] Error runThreads(size_t count, size_t stack_size, void (*body)(void*, size_t),
                               void* arg, size_t& started) noexcept;

// Gives the constructing thread a crew of worker threads (of
// kWorkerThreadStack bytes) for `runThreads` until the scope ends, which
// ends and joins every thread of the crew. A thread holds at most one scope
// at a time; the threads of a crew hold none, so a group started by one of
// them starts its own threads.
class WorkerCrewScope {
 public:
  WorkerCrewScope() noexcept;
  ~WorkerCrewScope();
  WorkerCrewScope(const WorkerCrewScope&) = delete;
  WorkerCrewScope& operator=(const WorkerCrewScope&) = delete;

 private:
  void* crew_;
};

// An exclusive lock (no recursion).
class Mutex {
 public:
  Mutex() noexcept;
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() noexcept;
  // Takes the lock when no thread holds it; returns whether it did.
  [[nodiscard]] bool tryLock() noexcept;
  void unlock() noexcept;

 private:
  alignas(8) unsigned char storage_[64];
};

// Holds a `Mutex` for the lifetime of the guard: locks on construction,
// unlocks on every way out of the scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// The process-wide standard-error lock: re-entrant for the thread that holds
// it (owner and count).
void lockStandardError() noexcept;
void unlockStandardError() noexcept;

// Writes `text` to standard error under the standard-error lock. A closed or
// broken standard error is ignored; SIGPIPE never reaches the process.
void writeStandardError(std::string_view text) noexcept;

// ---------------------------------------------------------------- process

// Logical processors this process may run on (its affinity mask), at least 1.
unsigned processorCount() noexcept;

// Nanoseconds since 1970-01-01 UTC from the realtime clock.
__int128 nowNanoseconds() noexcept;

// The value of the environment variable named exactly TEMP. False when it is
// unset or empty.
bool readTempDirectory(std::string& out);

// Sleeps for about `ms` milliseconds.
void sleepMilliseconds(unsigned ms) noexcept;

}  // namespace tavix::platform
