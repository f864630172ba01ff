#include "engine/output/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/output/result_writer.h"

namespace tavix {
namespace {

// A C-heap allocator that records how often it hands out a fresh block and
// can be told to refuse. Every block is really at least `kSlack` bytes, so
// `grow_in_place` can let resize succeed up to that size; remap always fails,
// which drives the allocate, copy and free path.
struct ProbeAllocator {
  static constexpr size_t kSlack = 4096;
  bool refuse = false;
  bool grow_in_place = false;
  int fresh_blocks = 0;

  static void* alloc(void* ctx, size_t len, size_t align) {
    auto* self = static_cast<ProbeAllocator*>(ctx);
    if (self->refuse) return nullptr;
    ++self->fresh_blocks;
    return cAllocator().alloc(len > kSlack ? len : kSlack, align);
  }
  static bool resize(void* ctx, void*, size_t, size_t new_len) {
    auto* self = static_cast<ProbeAllocator*>(ctx);
    return !self->refuse && self->grow_in_place && new_len <= kSlack;
  }
  static void* remap(void*, void*, size_t, size_t, size_t) { return nullptr; }
  static void free(void*, void* ptr, size_t len) { cAllocator().free(ptr, len); }
  static constexpr AllocatorVTable kVTable = {alloc, resize, remap, free};

  Allocator allocator() { return Allocator{this, &kVTable}; }
};

TEST(TextBuffer, GrowsToTheLargerOfTwiceTheCapacityAndTheNeededLength) {
  ProbeAllocator probe;
  TextBuffer buf(probe.allocator());
  static const struct {
    size_t append;
    uint64_t capacity_after;
  } steps[] = {
      {10, 10},    // no capacity yet: exactly what is needed
      {5, 20},     // 15 needed, twice 10 is more
      {5, 20},     // fits
      {100, 120},  // 120 needed, more than twice 20
      {1, 240},
  };
  std::string expected;
  char next = 'a';
  for (const auto& s : steps) {
    const std::string bytes(s.append, next++);
    const uint64_t old_len = buf.len;
    FieldSlice where;
    ASSERT_EQ(appendToTextBuffer(buf, bytes, &where), Error::ok);
    expected += bytes;
    EXPECT_EQ(buf.capacity, s.capacity_after) << "after appending " << s.append;
    EXPECT_EQ(buf.view(), expected);
    EXPECT_EQ(where.data(), buf.data + old_len);
    EXPECT_EQ(where, bytes);
  }
}

TEST(TextBuffer, GrowsInPlaceWhenTheAllocatorCan) {
  ProbeAllocator probe;
  probe.grow_in_place = true;
  TextBuffer buf(probe.allocator());
  ASSERT_EQ(appendToTextBuffer(buf, "abc"), Error::ok);
  const char* first = buf.data;
  ASSERT_EQ(appendToTextBuffer(buf, std::string(100, 'x')), Error::ok);
  EXPECT_EQ(buf.data, first);
  EXPECT_EQ(probe.fresh_blocks, 1);
  EXPECT_EQ(buf.view(), "abc" + std::string(100, 'x'));
}

TEST(TextBuffer, FailedGrowthLeavesTheBufferUnchanged) {
  ProbeAllocator probe;
  TextBuffer buf(probe.allocator());
  ASSERT_EQ(appendToTextBuffer(buf, "keep"), Error::ok);
  const char* data = buf.data;
  probe.refuse = true;

  struct Attempt {
    const char* what;
    Error (*run)(TextBuffer&);
  };
  static const Attempt attempts[] = {
      {"append", [](TextBuffer& b) { return appendToTextBuffer(b, "more"); }},
      {"reserve", [](TextBuffer& b) { return reserveTextBuffer(b, 1000); }},
      {"json string", [](TextBuffer& b) { return writeJsonString(b, "a\"b"); }},
      {"json escaped", [](TextBuffer& b) { return appendJsonEscaped(b, "x\ty"); }},
      {"csv record", [](TextBuffer& b) {
         const FieldSlice v[] = {"a,b", "c"};
         return appendCsvRecord(b, v, ',');
       }},
  };
  for (const Attempt& a : attempts) {
    EXPECT_EQ(a.run(buf), Error::OutOfMemory) << a.what;
    EXPECT_EQ(buf.view(), "keep") << a.what;
    EXPECT_EQ(buf.data, data) << a.what;
    EXPECT_EQ(buf.capacity, 4u) << a.what;
  }
}

TEST(TextBuffer, CompositeAppendThatFailsHalfwayLeavesNoPartialText) {
  ProbeAllocator probe;
  TextBuffer buf(probe.allocator());
  ASSERT_EQ(reserveTextBuffer(buf, 3), Error::ok);
  ASSERT_EQ(appendToTextBuffer(buf, "ok,"), Error::ok);
  ASSERT_EQ(reserveTextBuffer(buf, 6), Error::ok);
  probe.refuse = true;
  // The opening quote and "ab" fit in the reserved room; the escape does not.
  EXPECT_EQ(writeJsonString(buf, "ab\"cd"), Error::OutOfMemory);
  EXPECT_EQ(buf.view(), "ok,");
}

TEST(TextBuffer, MoveHandsOverTheBlock) {
  TextBuffer a;
  ASSERT_EQ(appendToTextBuffer(a, "text"), Error::ok);
  TextBuffer b(std::move(a));
  EXPECT_EQ(b.view(), "text");
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.capacity, 0u);
  b.clear();
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.capacity, 4u);
}

}  // namespace
}  // namespace tavix
