// The string set workers insert into at once: each text once whatever the
// interleaving, the empty text a value like any other, case kept apart, and
// the kept copies outliving the inserted texts.
#include "exec/parallel/sharded_string_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavix {
namespace {

std::multiset<std::string> contents(const ShardedStringSet& set) {
  std::multiset<std::string> out;
  set.forEach([&](std::string_view text) { out.emplace(text); });
  return out;
}

TEST(ShardedStringSet, OneEntryPerTextTheEmptyTextAndCase) {
  ShardedStringSet set;
  ASSERT_EQ(set.init(), Error::ok);
  EXPECT_EQ(set.size(), 0u);
  EXPECT_TRUE(contents(set).empty());
  for (const char* text : {"", "a", "A", "", "a", "ab", "a\0b"}) ASSERT_EQ(set.insert(text), Error::ok);
  ASSERT_EQ(set.insert(std::string_view("a\0b", 3)), Error::ok);
  ASSERT_EQ(set.insert(std::string_view("a\0b", 3)), Error::ok);
  EXPECT_EQ(set.size(), 5u);
  EXPECT_EQ(contents(set), (std::multiset<std::string>{"", "a", "A", "ab", std::string("a\0b", 3)}));
}

// Texts kept inside an entry (up to 20 bytes) and texts copied to the
// shard's arena (longer ones) alike: the set's copy outlives the inserted
// text, an equal text inserted again adds nothing, and texts that differ
// only past the kept bytes, or only in length, are apart.
TEST(ShardedStringSet, KeepsItsOwnCopy) {
  ShardedStringSet set;
  ASSERT_EQ(set.init(), Error::ok);
  std::vector<std::string> texts = {"transient", std::string(20, 's'), std::string(21, 's'),
                                    std::string(19, 's'), "a longer transient text of some length",
                                    "a longer transient text of some lengtH"};
  for (std::string& text : texts) {
    ASSERT_EQ(set.insert(text, hashText(text)), Error::ok);
    const std::string again = text;
    ASSERT_EQ(set.insert(again, hashText(again)), Error::ok);
    text.assign(text.size(), 'x');
  }
  EXPECT_EQ(set.size(), 6u);
  EXPECT_EQ(contents(set),
            (std::multiset<std::string>{"transient", std::string(20, 's'), std::string(21, 's'),
                                        std::string(19, 's'), "a longer transient text of some length",
                                        "a longer transient text of some lengtH"}));
}

// Writers batch their texts per shard: nothing reaches the set before a
// batch fills or the writer is flushed, texts of any length arrive (one
// longer than a batch goes in at once), and a batch's copies outlive the
// texts handed in.
TEST(ShardedStringSetWriter, BatchesUntilFlushed) {
  ShardedStringSet set;
  ASSERT_EQ(set.init(), Error::ok);
  auto writer = std::make_unique<ShardedStringSetWriter>(set);
  std::vector<std::string> texts = {"", "a", "a", "A", std::string(10000, 'l'), std::string(5000, 'm')};
  for (int i = 0; i < 3000; ++i) texts.push_back("t" + std::to_string(i % 1000));
  for (std::string& text : texts) {
    ASSERT_EQ(writer->insert(text, hashText(text)), Error::ok);
    text.assign(text.size(), '#');  // the writer keeps its own copy
  }
  EXPECT_LT(set.size(), 1004u);
  ASSERT_EQ(writer->flush(), Error::ok);
  EXPECT_EQ(set.size(), 1005u);
  const std::multiset<std::string> walked = contents(set);
  EXPECT_EQ(walked.count(std::string(10000, 'l')), 1u);
  EXPECT_EQ(walked.count(std::string(5000, 'm')), 1u);
  EXPECT_EQ(walked.count("t999"), 1u);
  EXPECT_EQ(walked.count(""), 1u);
  EXPECT_EQ(walked.count("#"), 0u);
  ASSERT_EQ(writer->flush(), Error::ok);
  EXPECT_EQ(set.size(), 1005u);
}

// Eight threads insert overlapping slices of 20,000 texts (every text by
// several threads, the same text often at the same moment): each text is
// counted and walked exactly once.
TEST(ShardedStringSet, ThreadsInsertingTheSameTextsAtOnce) {
  constexpr size_t kTexts = 20000;
  constexpr size_t kThreads = 8;
  std::vector<std::string> texts;
  for (size_t i = 0; i < kTexts; ++i) texts.push_back(i == 0 ? std::string() : "v" + std::to_string(i));
  ShardedStringSet set;
  ASSERT_EQ(set.init(), Error::ok);
  struct Run {
    ShardedStringSet* set;
    const std::vector<std::string>* texts;
    Error errors[kThreads];
  } run{&set, &texts, {}};
  size_t started = 0;
  ASSERT_EQ(platform::runThreads(
                kThreads, platform::kWorkerThreadStack,
                [](void* arg, size_t t) {
                  Run& r = *static_cast<Run*>(arg);
                  // Thread t takes every text from t * kTexts / 16 on, wrapping
                  // around, half of them: neighbours overlap by three quarters.
                  // Even threads insert one text at a time, odd ones through
                  // a writer.
                  const size_t n = r.texts->size();
                  auto writer = t % 2 == 1 ? std::make_unique<ShardedStringSetWriter>(*r.set) : nullptr;
                  for (size_t k = 0; k < n / 2 && r.errors[t] == Error::ok; ++k) {
                    const std::string& text = (*r.texts)[(t * n / 16 + k) % n];
                    r.errors[t] = writer != nullptr ? writer->insert(text, hashText(text)) : r.set->insert(text);
                  }
                  if (writer != nullptr && r.errors[t] == Error::ok) r.errors[t] = writer->flush();
                },
                &run, started),
            Error::ok);
  for (Error e : run.errors) ASSERT_EQ(e, Error::ok);
  // The slices cover [0, 7/16 n + n/2) = [0, 15/16 n).
  const size_t covered = 15 * kTexts / 16;
  EXPECT_EQ(set.size(), covered);
  const std::multiset<std::string> walked = contents(set);
  EXPECT_EQ(walked.size(), covered);
  EXPECT_EQ(std::set<std::string>(walked.begin(), walked.end()).size(), covered);
  EXPECT_EQ(walked.count(""), 1u);
}

}  // namespace
}  // namespace tavix
