// Reading the result file back into the text handed to the caller: the
// bound on its size and the returned block's layout.
#include "driver/result_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "exec/executor.h"
#include "support/scratch_dir.h"

namespace tavix {
namespace {

class ResultText : public testing::ScratchDir {
 protected:
  // Read-back of a sparse file of the given size, with a marker at both ends.
  Error readSparse(uint64_t size, ReturnedText& out) {
    const std::string file = path("big");
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return Error::Unexpected;
    if (::pwrite(fd, "<", 1, 0) != 1 || ::pwrite(fd, ">", 1, static_cast<off_t>(size - 1)) != 1) {
      ::close(fd);
      return Error::Unexpected;
    }
    const platform::OwnedFile f(platform::File{fd});
    return readResultFile(f.get(), out);
  }
};

TEST_F(ResultText, ReadBackAcceptsExactly256MiB) {
  ReturnedText text;
  ASSERT_EQ(readSparse(kMaxResultBytes, text), Error::ok);
  ASSERT_EQ(text.length, kMaxResultBytes);
  EXPECT_EQ(text.text[0], '<');
  EXPECT_EQ(text.text[kMaxResultBytes - 1], '>');
  EXPECT_EQ(text.text[kMaxResultBytes], '\0');
  freeReturnedText(text.text);
}

TEST_F(ResultText, ReadBackRefusesOneByteMore) {
  ReturnedText text;
  EXPECT_EQ(readSparse(kMaxResultBytes + 1, text), Error::FileTooBig);
  EXPECT_EQ(text.text, nullptr);
}

TEST_F(ResultText, EmptyResultReadsBackAsEmptyText) {
  const platform::File f = createFile("result");
  ReturnedText text;
  ASSERT_EQ(readResultFile(f, text), Error::ok);
  EXPECT_EQ(text.length, 0u);
  EXPECT_STREQ(text.text, "");
  freeReturnedText(text.text);
}

TEST(ReturnedTextBlock, HoldsItsOwnAddressBeforeTheText) {
  char* text = allocateReturnedText(5);
  ASSERT_NE(text, nullptr);
  char* block;
  std::memcpy(&block, text - 8, sizeof block);
  EXPECT_EQ(block, text - 8);
  EXPECT_EQ(text[5], '\0');
  freeReturnedText(text);
  freeReturnedText(nullptr);
}

}  // namespace
}  // namespace tavix
