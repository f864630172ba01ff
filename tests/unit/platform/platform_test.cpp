#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tavix::platform {
namespace {

namespace fs = std::filesystem;

TEST(ErrnoMapping, FollowsTheOperation) {
  static const struct {
    int err;
    IoOp op;
    Error expected;
  } cases[] = {
      {ENOENT, IoOp::open, Error::FileNotFound},
      {EACCES, IoOp::open, Error::AccessDenied},
      {EPERM, IoOp::open, Error::AccessDenied},
      {ENOTDIR, IoOp::open, Error::NotDir},
      {EISDIR, IoOp::open, Error::IsDir},
      {ENAMETOOLONG, IoOp::open, Error::NameTooLong},
      {EEXIST, IoOp::create, Error::PathAlreadyExists},
      {EBADF, IoOp::read, Error::NotOpenForReading},
      {ECONNRESET, IoOp::read, Error::ConnectionResetByPeer},
      {EIO, IoOp::read, Error::Unexpected},
      {EBADF, IoOp::write, Error::NotOpenForWriting},
      {EPIPE, IoOp::write, Error::BrokenPipe},
      {ENOMEM, IoOp::write, Error::SystemResources},
      {ENOBUFS, IoOp::write, Error::SystemResources},
      {ESPIPE, IoOp::seek, Error::Unseekable},
      {EINVAL, IoOp::seek, Error::Unseekable},
      {EIO, IoOp::seek, Error::Unexpected},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorFromErrno(c.err, c.op), c.expected) << c.err << " op " << int(c.op);
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path("/tmp") / ("tavix_platform_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Files, OpenRefusesDirectoriesAndMissingFiles) {
  File f;
  EXPECT_EQ(openForReading(dir_.string(), f), Error::IsDir);
  EXPECT_EQ(openForReading((dir_ / "none.csv").string(), f), Error::FileNotFound);
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_EQ(openForReading((dir_ / "plain" / "x").string(), f), Error::NotDir);
  EXPECT_EQ(openForReading(std::string("a\0b", 3), f), Error::BadPathName);
}

TEST_F(Files, PositionedReadsLeaveThePositionAlone) {
  std::ofstream(dir_ / "data") << "0123456789";
  File f;
  ASSERT_EQ(openForReading((dir_ / "data").string(), f), Error::ok);
  char buf[4];
  size_t got = 0;
  ASSERT_EQ(readAt(f, 6, buf, 4, got), Error::ok);
  EXPECT_EQ(std::string(buf, got), "6789");
  ASSERT_EQ(readSome(f, buf, 2, got), Error::ok);
  EXPECT_EQ(std::string(buf, got), "01");
  uint64_t size = 0;
  ASSERT_EQ(fileSize(f, size), Error::ok);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(writeAll(f, "x", 1), Error::NotOpenForWriting);
  closeFile(f);
}

// The whole source lands at the target's position, whatever the source's
// own position, and the target's position moves past it: into a file (the
// copy inside the system) and into a pipe (by reads and writes).
TEST_F(Files, AppendWholeFileCopiesAfterThePosition) {
  std::string big;
  for (int i = 0; big.size() < (3u << 20) + 17; ++i) big += std::to_string(i) + ",";
  std::ofstream(dir_ / "big") << big;
  std::ofstream(dir_ / "empty");
  File src, empty, dst;
  ASSERT_EQ(openForReading((dir_ / "big").string(), src), Error::ok);
  ASSERT_EQ(openForReading((dir_ / "empty").string(), empty), Error::ok);
  ASSERT_EQ(createExclusive((dir_ / "out").string(), dst), Error::ok);
  char buf[5];
  size_t got = 0;
  ASSERT_EQ(readSome(src, buf, sizeof buf, got), Error::ok);  // moves the source's position
  ASSERT_EQ(writeAll(dst, "head:", 5), Error::ok);
  ASSERT_EQ(appendWholeFile(src, dst), Error::ok);
  ASSERT_EQ(appendWholeFile(empty, dst), Error::ok);
  ASSERT_EQ(appendWholeFile(src, dst), Error::ok);
  ASSERT_EQ(writeAll(dst, ":tail", 5), Error::ok);
  closeFile(dst);
  std::ifstream in(dir_ / "out", std::ios::binary);
  const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(out == "head:" + big + big + ":tail") << out.size();

  std::ofstream(dir_ / "small") << "a,b\n1,2\n";
  File small;
  ASSERT_EQ(openForReading((dir_ / "small").string(), small), Error::ok);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(appendWholeFile(small, File{fds[1]}), Error::ok);
  ::close(fds[1]);
  char piped[32];
  const ssize_t n = ::read(fds[0], piped, sizeof piped);
  ::close(fds[0]);
  EXPECT_EQ(std::string(piped, n > 0 ? static_cast<size_t>(n) : 0), "a,b\n1,2\n");
  closeFile(src);
  closeFile(empty);
  closeFile(small);
}

TEST_F(Files, MappingIsReadOnlyAndEmptyFilesMapToNothing) {
  std::ofstream(dir_ / "data") << "abc";
  std::ofstream(dir_ / "empty");
  File f, e;
  ASSERT_EQ(openForReading((dir_ / "data").string(), f), Error::ok);
  ASSERT_EQ(openForReading((dir_ / "empty").string(), e), Error::ok);
  MappedView view;
  ASSERT_EQ(mapFileReadOnly(f, 3, view), Error::ok);
  EXPECT_EQ(view.bytes(), "abc");
  MappedView empty;
  ASSERT_EQ(mapFileReadOnly(e, 0, empty), Error::ok);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);
  closeFile(f);
  closeFile(e);
  EXPECT_EQ(view.bytes(), "abc");  // the view outlives the descriptor
}

TEST(Threads, RunWithTheRequestedStack) {
  struct Ctx {
    std::atomic<int> ran{0};
  } ctx;
  Thread t;
  ASSERT_EQ(startThread(t, kWorkerThreadStack,
                        [](void* p) {
                          // Touch most of a 16 MiB stack.
                          volatile char big[12 << 20];
                          big[0] = 1;
                          big[sizeof big - 1] = 1;
                          static_cast<Ctx*>(p)->ran = big[0] + big[sizeof big - 1];
                        },
                        &ctx),
            Error::ok);
  joinThread(t);
  EXPECT_EQ(ctx.ran.load(), 2);
}

TEST_F(Files, OwnedFileClosesItsDescriptorOnceAndMovesOwnership) {
  std::ofstream(dir_ / "data") << "abc";
  auto isOpenDescriptor = [](File f) { return ::fcntl(f.fd, F_GETFD) != -1; };
  File seen;
  {
    OwnedFile a;
    ASSERT_EQ(openForReading((dir_ / "data").string(), a), Error::ok);
    seen = a.get();
    OwnedFile b(std::move(a));
    EXPECT_FALSE(a.isOpen());
    EXPECT_EQ(b.get().fd, seen.fd);
    OwnedFile c;
    c = std::move(b);
    EXPECT_TRUE(isOpenDescriptor(c.get()));
    // A failed open leaves the owner empty and closes what it held.
    EXPECT_EQ(openForReading((dir_ / "missing").string(), c), Error::FileNotFound);
    EXPECT_FALSE(c.isOpen());
    EXPECT_FALSE(isOpenDescriptor(seen));
    ASSERT_EQ(openForReading((dir_ / "data").string(), c), Error::ok);
    seen = c.get();
  }
  EXPECT_FALSE(isOpenDescriptor(seen));
}

TEST(Threads, GroupRunsEveryIndexOnceAndJoinsThemAll) {
  for (size_t count : {0, 1, 5, 64}) {
    std::vector<std::atomic<int>> runs(count);
    size_t started = 99;
    ASSERT_EQ(runThreads(count, kWorkerThreadStack,
                         [](void* arg, size_t i) {
                           (*static_cast<std::vector<std::atomic<int>>*>(arg))[i].fetch_add(1);
                         },
                         &runs, started),
              Error::ok);
    EXPECT_EQ(started, count);
    // Every thread has been joined: all counts are final.
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << count << " " << i;
  }
}

// Counts the threads that have ended after running a group's body (a
// thread-local object's destructor runs when its thread ends).
std::atomic<int> g_ended_threads{0};
struct EndCounter {
  bool armed = false;
  ~EndCounter() {
    if (armed) g_ended_threads.fetch_add(1);
  }
};
thread_local EndCounter t_end_counter;

// One group of a crew: every index meets every other (they run at once), and
// each records the thread it ran on.
struct CrewGroup {
  size_t count = 0;
  std::atomic<size_t> arrived{0};
  std::vector<std::atomic<int>> runs;
  std::vector<std::thread::id> ran_on;
  bool nested = false;  // each index also runs a group of two of its own
  std::atomic<int> nested_runs{0};

  explicit CrewGroup(size_t n) : count(n), runs(n), ran_on(n) {}

  static void body(void* arg, size_t i) {
    CrewGroup& g = *static_cast<CrewGroup*>(arg);
    t_end_counter.armed = true;
    g.runs[i].fetch_add(1);
    g.ran_on[i] = std::this_thread::get_id();
    g.arrived.fetch_add(1);
    while (g.arrived.load() < g.count) std::this_thread::yield();
    if (g.nested) {
      size_t started = 0;
      EXPECT_EQ(runThreads(2, kWorkerThreadStack,
                           [](void* a, size_t) {
                             t_end_counter.armed = true;
                             static_cast<CrewGroup*>(a)->nested_runs.fetch_add(1);
                           },
                           &g, started),
                Error::ok);
    }
  }
};

// Groups run one after the other under a crew scope run every index once, at
// once, index i always on the crew's thread i, which waits between groups
// and ends with the scope; a group a crew thread starts runs on threads of
// its own. Without a scope every group's threads end with the group.
TEST(Threads, CrewRunsEveryGroupOnItsThreadsAndEndsThemWithTheScope) {
  g_ended_threads = 0;
  std::vector<std::thread::id> crew;  // the thread of each index seen so far
  {
    WorkerCrewScope scope;
    for (size_t count : {3, 8, 0, 2, 8, 5}) {
      CrewGroup g(count);
      g.nested = count == 2;
      size_t started = 99;
      ASSERT_EQ(runThreads(count, kWorkerThreadStack, &CrewGroup::body, &g, started), Error::ok);
      EXPECT_EQ(started, count);
      for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(g.runs[i].load(), 1) << count << " " << i;
        EXPECT_NE(g.ran_on[i], std::this_thread::get_id());
        if (i < crew.size()) {
          EXPECT_EQ(g.ran_on[i], crew[i]) << count << " " << i;
        } else {
          crew.push_back(g.ran_on[i]);
        }
      }
      if (g.nested) EXPECT_EQ(g.nested_runs.load(), 4);
    }
    ASSERT_EQ(crew.size(), 8u);
    // Only the nested groups' threads have ended.
    EXPECT_EQ(g_ended_threads.load(), 4);
  }
  EXPECT_EQ(g_ended_threads.load(), 4 + 8);
  for (size_t i = 0; i < crew.size(); ++i)
    for (size_t j = i + 1; j < crew.size(); ++j) EXPECT_NE(crew[i], crew[j]);

  g_ended_threads = 0;
  CrewGroup g(3);
  size_t started = 0;
  ASSERT_EQ(runThreads(3, kWorkerThreadStack, &CrewGroup::body, &g, started), Error::ok);
  EXPECT_EQ(g_ended_threads.load(), 3);
}

TEST(Threads, MutexLockSerialisesItsScope) {
  struct Shared {
    Mutex mutex;
    uint64_t counter = 0;  // touched only under the lock
  } shared;
  constexpr size_t kThreads = 8;
  constexpr uint64_t kRounds = 20000;
  size_t started = 0;
  ASSERT_EQ(runThreads(kThreads, kWorkerThreadStack,
                       [](void* arg, size_t) {
                         Shared& s = *static_cast<Shared*>(arg);
                         for (uint64_t r = 0; r < kRounds; ++r) {
                           MutexLock lock(s.mutex);
                           ++s.counter;
                         }
                       },
                       &shared, started),
            Error::ok);
  EXPECT_EQ(shared.counter, kThreads * kRounds);
}

TEST(StandardError, LockIsReentrantAndBrokenPipesAreHarmless) {
  lockStandardError();
  lockStandardError();
  unlockStandardError();
  unlockStandardError();

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  close(fds[0]);  // nobody reads: writing raises SIGPIPE / EPIPE
  writeStandardError("Worker thread error: test\n");
  dup2(saved, STDERR_FILENO);
  close(saved);
  SUCCEED();  // still alive
}

TEST(Process, ProcessorsClockAndTemp) {
  EXPECT_GE(processorCount(), 1u);
  __int128 a = nowNanoseconds();
  __int128 b = nowNanoseconds();
  EXPECT_GT(a, static_cast<__int128>(1'600'000'000) * 1'000'000'000);
  EXPECT_GE(b, a);
  setenv("TEMP", "", 1);
  std::string value;
  EXPECT_FALSE(readTempDirectory(value));
  setenv("TEMP", "/x", 1);
  EXPECT_TRUE(readTempDirectory(value));
  EXPECT_EQ(value, "/x");
}

}  // namespace
}  // namespace tavix::platform
