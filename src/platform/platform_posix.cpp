// POSIX implementation of the platform surface (see platform.h).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"

namespace tavix::platform {

namespace {

// Paths from the statement are not NUL-terminated; the system calls need a
// terminated copy.
Error terminatedPath(std::string_view path, std::string& out) noexcept {
  if (path.find('\0') != std::string_view::npos) return Error::BadPathName;
  if (path.empty()) return Error::FileNotFound;
  try {
    out.assign(path);
  } catch (...) {
    return Error::OutOfMemory;
  }
  return Error::ok;
}

}  // namespace

Error errorFromErrno(int err, IoOp op) noexcept {
  switch (op) {
    case IoOp::open:
    case IoOp::create:
      switch (err) {
        case ENOENT: return Error::FileNotFound;
        case EACCES:
        case EPERM:
        case ETXTBSY: return Error::AccessDenied;
        case EEXIST: return Error::PathAlreadyExists;
        case EISDIR: return Error::IsDir;
        case ENOTDIR: return Error::NotDir;
        case ENAMETOOLONG: return Error::NameTooLong;
        case ELOOP: return Error::SymLinkLoop;
        case ENXIO:
        case ENODEV: return Error::NoDevice;
        case EMFILE: return Error::ProcessFdQuotaExceeded;
        case ENFILE: return Error::SystemFdQuotaExceeded;
        case ENOSPC: return Error::NoSpaceLeft;
        case EROFS: return Error::ReadOnlyFileSystem;
        case ENOMEM: return Error::SystemResources;
        default: return Error::Unexpected;
      }
    case IoOp::read:
      switch (err) {
        case EACCES:
        case EPERM: return Error::AccessDenied;
        case EBADF: return Error::NotOpenForReading;
        case EISDIR: return Error::IsDir;
        case ECONNRESET: return Error::ConnectionResetByPeer;
        default: return Error::Unexpected;
      }
    case IoOp::write:
      switch (err) {
        case EACCES:
        case EPERM: return Error::AccessDenied;
        case EBADF: return Error::NotOpenForWriting;
        case ENOMEM:
        case ENOBUFS: return Error::SystemResources;
        case ECONNRESET: return Error::ConnectionResetByPeer;
        case EPIPE: return Error::BrokenPipe;
        case ENOSPC: return Error::NoSpaceLeft;
        case EFBIG: return Error::FileTooBig;
        case EDQUOT: return Error::DiskQuota;
        default: return Error::Unexpected;
      }
    case IoOp::seek:
      switch (err) {
        case ESPIPE:
        case EINVAL: return Error::Unseekable;
        default: return Error::Unexpected;
      }
    case IoOp::size: return Error::Unexpected;
    case IoOp::map: return Error::MapFailed;
  }
  return Error::Unexpected;
}

namespace {

// What a path that opened but is no regular file stands for: a directory is
// IsDir; a FIFO, socket or device gives no file to map, size or seek in.
Error notRegularFile(mode_t mode) noexcept {
  return S_ISDIR(mode) ? Error::IsDir : Error::Unseekable;
}

}  // namespace

Error openForReading(std::string_view path, File& out) noexcept {
  std::string p;
  TAVIX_TRY(terminatedPath(path, p));
  // Without blocking: opening a FIFO that has no writer would otherwise wait
  // for one for ever.
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    // A socket cannot be opened at all; it is no file either.
    struct stat st;
    if (err == ENXIO && ::stat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
      return Error::Unseekable;
    return errorFromErrno(err, IoOp::open);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return errorFromErrno(err, IoOp::size);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return notRegularFile(st.st_mode);
  }
  // Reads of the regular file that remains block as usual.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    ::close(fd);
    return Error::Unexpected;
  }
  out.fd = fd;
  return Error::ok;
}

Error createExclusive(std::string_view path, File& out) noexcept {
  std::string p;
  TAVIX_TRY(terminatedPath(path, p));
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errorFromErrno(errno, IoOp::create);
  out.fd = fd;
  return Error::ok;
}

namespace {

// Runs `open` into an owner: what it held is closed first, and it holds the
// new descriptor only when `open` succeeds.
template <typename Open>
Error openInto(OwnedFile& out, Open&& open) noexcept {
  out.reset();
  File file;
  TAVIX_TRY(open(file));
  out.reset(file);
  return Error::ok;
}

}  // namespace

Error openForReading(std::string_view path, OwnedFile& out) noexcept {
  return openInto(out, [&](File& f) { return openForReading(path, f); });
}

Error createExclusive(std::string_view path, OwnedFile& out) noexcept {
  return openInto(out, [&](File& f) { return createExclusive(path, f); });
}

Error deleteFile(std::string_view path) noexcept {
  std::string p;
  TAVIX_TRY(terminatedPath(path, p));
  if (::unlink(p.c_str()) != 0) return errorFromErrno(errno, IoOp::open);
  return Error::ok;
}

void closeFile(File& file) noexcept {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
}

Error fileSize(File file, uint64_t& size) noexcept {
  struct stat st;
  if (fstat(file.fd, &st) != 0) return errorFromErrno(errno, IoOp::size);
  size = static_cast<uint64_t>(st.st_size);
  return Error::ok;
}

Error readSome(File file, void* buf, size_t len, size_t& got) noexcept {
  for (;;) {
    ssize_t n = ::read(file.fd, buf, len);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return Error::ok;
    }
    if (errno == EINTR) continue;
    // A reader whose writer went away has simply reached the end.
    if (errno == EPIPE) {
      got = 0;
      return Error::ok;
    }
    return errorFromErrno(errno, IoOp::read);
  }
}

Error readAt(File file, uint64_t offset, void* buf, size_t len, size_t& got) noexcept {
  for (;;) {
    ssize_t n = ::pread(file.fd, buf, len, static_cast<off_t>(offset));
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return Error::ok;
    }
    if (errno == EINTR) continue;
    return errorFromErrno(errno, IoOp::read);
  }
}

Error writeAll(File file, const void* data, size_t len) noexcept {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(file.fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errorFromErrno(errno, IoOp::write);
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return Error::ok;
}

Error appendWholeFile(File from, File to) noexcept {
  // Page-cache to page-cache inside the kernel: the bytes never pass through
  // a buffer here. Filesystems that cannot copy so (or across devices) say
  // so on the first call, before anything is written.
  loff_t in = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(from.fd, &in, to.fd, nullptr, size_t{1} << 30, 0);
    if (n > 0) continue;
    if (n == 0) return Error::ok;
    if (errno == EINTR) continue;
    if (in == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
      break;
    return errorFromErrno(errno, IoOp::write);
  }
  constexpr size_t kBufferBytes = size_t{1} << 20;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferBytes]);
  if (buffer == nullptr) return Error::OutOfMemory;
  for (uint64_t offset = 0;;) {
    size_t got = 0;
    TAVIX_TRY(readAt(from, offset, buffer.get(), kBufferBytes, got));
    if (got == 0) return Error::ok;
    TAVIX_TRY(writeAll(to, buffer.get(), got));
    offset += got;
  }
}

namespace {

Error writeAllAt(File file, uint64_t offset, const char* p, size_t len) noexcept {
  while (len > 0) {
    const ssize_t n = ::pwrite(file.fd, p, len, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errorFromErrno(errno, IoOp::write);
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return Error::ok;
}

}  // namespace

Error copyFileRangeAt(File from, uint64_t from_offset, uint64_t length, File to,
                      uint64_t to_offset) noexcept {
  // Page-cache to page-cache inside the kernel: the bytes never pass through
  // a buffer here. Filesystems that cannot copy so (or across devices) say
  // so on the first call, before anything is written.
  loff_t in = static_cast<loff_t>(from_offset);
  loff_t out = static_cast<loff_t>(to_offset);
  uint64_t left = length;
  while (left > 0) {
    const ssize_t n = ::copy_file_range(from.fd, &in, to.fd, &out,
                                        static_cast<size_t>(std::min<uint64_t>(left, 1u << 30)), 0);
    if (n > 0) {
      left -= static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return Error::EndOfStream;
    if (errno == EINTR) continue;
    if (left == length && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
      break;
    return errorFromErrno(errno, IoOp::write);
  }
  if (left == 0) return Error::ok;
  constexpr size_t kBufferBytes = size_t{1} << 20;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferBytes]);
  if (buffer == nullptr) return Error::OutOfMemory;
  for (uint64_t done = 0; done < length;) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, kBufferBytes));
    TAVIX_TRY(readAt(from, from_offset + done, buffer.get(), want, got));
    if (got == 0) return Error::EndOfStream;
    TAVIX_TRY(writeAllAt(to, to_offset + done, buffer.get(), got));
    done += got;
  }
  return Error::ok;
}

Error truncateFile(File file, uint64_t size) noexcept {
  for (;;) {
    if (::ftruncate(file.fd, static_cast<off_t>(size)) == 0) return Error::ok;
    if (errno != EINTR) return errorFromErrno(errno, IoOp::write);
  }
}

Error filePosition(File file, uint64_t& offset) noexcept {
  const off_t at = ::lseek(file.fd, 0, SEEK_CUR);
  if (at < 0) return errorFromErrno(errno, IoOp::seek);
  offset = static_cast<uint64_t>(at);
  return Error::ok;
}

Error seekTo(File file, uint64_t offset) noexcept {
  if (::lseek(file.fd, static_cast<off_t>(offset), SEEK_SET) < 0)
    return errorFromErrno(errno, IoOp::seek);
  return Error::ok;
}

Error standardInput(File& out) noexcept {
  if (fcntl(STDIN_FILENO, F_GETFD) < 0) return Error::NoStandardHandleAttached;
  out.fd = STDIN_FILENO;
  return Error::ok;
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void MappedView::unmap() noexcept {
  if (data_ != nullptr && size_ > 0) munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

Error mapFileReadOnly(File file, uint64_t size, MappedView& out) noexcept {
  out.unmap();
  if (size == 0) return Error::ok;
  if (size > SIZE_MAX) return Error::MapFailed;
  void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, file.fd, 0);
  if (p == MAP_FAILED) return Error::MapFailed;
  out.data_ = static_cast<const char*>(p);
  out.size_ = static_cast<size_t>(size);
  return Error::ok;
}

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

void* threadTrampoline(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  std::free(raw);
  start.body(start.arg);
  return nullptr;
}

}  // namespace

Error startThread(Thread& thread, size_t stack_size, void (*body)(void*), void* arg) noexcept {
  thread.started = false;
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (start == nullptr) return Error::OutOfMemory;
  start->body = body;
  start->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    std::free(start);
    return Error::SystemResources;
  }
  pthread_attr_setstacksize(&attr, stack_size);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, threadTrampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::free(start);
    return rc == EAGAIN ? Error::ThreadQuotaExceeded : Error::Unexpected;
  }
  static_assert(sizeof(pthread_t) <= sizeof(thread.handle));
  thread.handle = static_cast<uint64_t>(tid);
  thread.started = true;
  return Error::ok;
}

void joinThread(Thread& thread) noexcept {
  if (!thread.started) return;
  pthread_join(static_cast<pthread_t>(thread.handle), nullptr);
  thread.started = false;
}

namespace {

// One member of a thread group: the group's body and argument, and its index.
struct GroupMember {
  void (*body)(void*, size_t);
  void* arg;
  size_t index;
};

void groupMemberMain(void* raw) {
  const GroupMember& m = *static_cast<GroupMember*>(raw);
  m.body(m.arg, m.index);
}

// The crew of a WorkerCrewScope. Its owner hands it one group at a time:
// the group's body, argument and size under `mutex`, with `generation`
// raised; thread i runs the body for index i when i is below the size, and
// the last one done signals `done`. Threads are started by the owner in
// index order and kept until the scope ends.
struct Crew {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
  pthread_cond_t done = PTHREAD_COND_INITIALIZER;
  uint64_t generation = 0;
  void (*body)(void*, size_t) = nullptr;
  void* arg = nullptr;
  size_t count = 0;      // the size of the current group
  size_t remaining = 0;  // threads of the current group not yet done
  bool ending = false;
  size_t size = 0;       // threads started
  size_t capacity = 0;
  Thread* threads = nullptr;
};

struct CrewMember {
  Crew* crew;
  size_t index;
  uint64_t seen;  // the last generation this thread looked at
};

// The crew of the thread that holds a scope; null elsewhere.
thread_local Crew* t_crew = nullptr;

void crewMemberMain(void* raw) {
  CrewMember member = *static_cast<CrewMember*>(raw);
  std::free(raw);
  Crew& c = *member.crew;
  pthread_mutex_lock(&c.mutex);
  for (;;) {
    while (!c.ending && c.generation == member.seen) pthread_cond_wait(&c.wake, &c.mutex);
    if (c.ending) break;
    member.seen = c.generation;
    if (member.index >= c.count) continue;
    void (*body)(void*, size_t) = c.body;
    void* arg = c.arg;
    pthread_mutex_unlock(&c.mutex);
    body(arg, member.index);
    pthread_mutex_lock(&c.mutex);
    if (--c.remaining == 0) pthread_cond_signal(&c.done);
  }
  pthread_mutex_unlock(&c.mutex);
}

// runThreads on the crew: the threads already started take the group at
// once, the ones it needs beyond them are started for it.
Error runCrewThreads(Crew& c, size_t count, void (*body)(void*, size_t), void* arg,
                     size_t& started) noexcept {
  if (count > c.capacity) {
    const size_t grown = std::max(count, c.capacity * 2);
    auto* threads = static_cast<Thread*>(std::realloc(c.threads, grown * sizeof(Thread)));
    if (threads == nullptr) return Error::OutOfMemory;
    for (size_t i = c.capacity; i < grown; ++i) new (&threads[i]) Thread();
    c.threads = threads;
    c.capacity = grown;
  }
  pthread_mutex_lock(&c.mutex);
  c.body = body;
  c.arg = arg;
  c.count = count;
  c.remaining = std::min(count, c.size);
  ++c.generation;
  const uint64_t generation = c.generation;
  pthread_cond_broadcast(&c.wake);
  pthread_mutex_unlock(&c.mutex);
  started = std::min(count, c.size);
  Error start_error = Error::ok;
  while (c.size < count) {
    auto* member = static_cast<CrewMember*>(std::malloc(sizeof(CrewMember)));
    if (member == nullptr) {
      start_error = Error::OutOfMemory;
      break;
    }
    // The new thread takes the current group first.
    *member = CrewMember{&c, c.size, generation - 1};
    pthread_mutex_lock(&c.mutex);
    ++c.remaining;
    pthread_mutex_unlock(&c.mutex);
    start_error = startThread(c.threads[c.size], kWorkerThreadStack, crewMemberMain, member);
    if (start_error != Error::ok) {
      std::free(member);
      pthread_mutex_lock(&c.mutex);
      --c.remaining;
      pthread_mutex_unlock(&c.mutex);
      break;
    }
    ++c.size;
    started = c.size;
  }
  pthread_mutex_lock(&c.mutex);
  while (c.remaining > 0) pthread_cond_wait(&c.done, &c.mutex);
  pthread_mutex_unlock(&c.mutex);
  return start_error;
}

}  // namespace

WorkerCrewScope::WorkerCrewScope() noexcept : crew_(nullptr) {
  if (t_crew != nullptr) return;
  auto* c = static_cast<Crew*>(std::malloc(sizeof(Crew)));
  if (c == nullptr) return;  // groups then start their own threads
  new (c) Crew();
  crew_ = c;
  t_crew = c;
}

WorkerCrewScope::~WorkerCrewScope() {
  auto* c = static_cast<Crew*>(crew_);
  if (c == nullptr) return;
  t_crew = nullptr;
  pthread_mutex_lock(&c->mutex);
  c->ending = true;
  pthread_cond_broadcast(&c->wake);
  pthread_mutex_unlock(&c->mutex);
  for (size_t i = 0; i < c->size; ++i) joinThread(c->threads[i]);
  pthread_cond_destroy(&c->wake);
  pthread_cond_destroy(&c->done);
  pthread_mutex_destroy(&c->mutex);
  std::free(c->threads);
  c->~Crew();
  std::free(c);
}

Error runThreads(size_t count, size_t stack_size, void (*body)(void*, size_t), void* arg,
                 size_t& started) noexcept {
  started = 0;
  if (count == 0) return Error::ok;
  if (t_crew != nullptr && stack_size <= kWorkerThreadStack)
    return runCrewThreads(*t_crew, count, body, arg, started);
  std::unique_ptr<Thread[]> threads(new (std::nothrow) Thread[count]);
  std::unique_ptr<GroupMember[]> members(new (std::nothrow) GroupMember[count]);
  if (threads == nullptr || members == nullptr) return Error::OutOfMemory;
  Error start_error = Error::ok;
  for (size_t i = 0; i < count; ++i) {
    members[i] = GroupMember{body, arg, i};
    start_error = startThread(threads[i], stack_size, groupMemberMain, &members[i]);
    if (start_error != Error::ok) break;
    started = i + 1;
  }
  for (size_t i = 0; i < started; ++i) joinThread(threads[i]);
  return start_error;
}

static_assert(sizeof(pthread_mutex_t) <= 64);

Mutex::Mutex() noexcept { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
Mutex::~Mutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Mutex::lock() noexcept { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
bool Mutex::tryLock() noexcept {
  return pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(storage_)) == 0;
}
void Mutex::unlock() noexcept {
  pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_));
}

namespace {
pthread_mutex_t g_stderr_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
}  // namespace

void lockStandardError() noexcept { pthread_mutex_lock(&g_stderr_mutex); }
void unlockStandardError() noexcept { pthread_mutex_unlock(&g_stderr_mutex); }

void writeStandardError(std::string_view text) noexcept {
  lockStandardError();
  // Block SIGPIPE on this thread while writing, and swallow one that became
  // pending, so a closed standard error can never end the host process.
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  const char* p = text.data();
  size_t len = text.size();
  bool broke = false;
  while (len > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      broke = errno == EPIPE;
      break;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  if (broke) {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      struct timespec zero = {0, 0};
      sigtimedwait(&pipe_set, nullptr, &zero);
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  unlockStandardError();
}

unsigned processorCount() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

__int128 nowNanoseconds() noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<__int128>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool readTempDirectory(std::string& out) {
  const char* value = std::getenv("TEMP");
  if (value == nullptr || *value == '\0') return false;
  out.assign(value);
  return true;
}

void sleepMilliseconds(unsigned ms) noexcept {
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace tavix::platform
