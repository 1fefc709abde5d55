// The runtime's table of handed-out objects: new keys never collide with a
// live one, even when the key space wraps, and a removed object outlives
// the table only for as long as its last user holds it.
#include <gtest/gtest.h>

#include <memory>

#include "toolbox/LiveTable.h"

namespace tp::test {
namespace {

int Next(int previous) { return previous >= 3 ? 1 : previous + 1; }

TEST(LiveTable, NewKeys_SkipLiveOnes_AndWrap) {
  qt::LiveTable<int, int> table;
  EXPECT_EQ(table.AddWithNewKey(std::make_shared<int>(10), Next), 1);
  EXPECT_EQ(table.AddWithNewKey(std::make_shared<int>(20), Next), 2);
  EXPECT_EQ(table.AddWithNewKey(std::make_shared<int>(30), Next), 3);
  ASSERT_TRUE(table.Remove(2));
  // After 3 the keys wrap to 1, which is live: the free 2 is taken.
  EXPECT_EQ(table.AddWithNewKey(std::make_shared<int>(40), Next), 2);
  EXPECT_EQ(*table.Find(1), 10);
  EXPECT_EQ(*table.Find(2), 40);
  EXPECT_EQ(table.Count(), 3u);
}

TEST(LiveTable, RemovedObject_IsRefusedButLivesWhileStillHeld) {
  qt::LiveTable<void *, int> table;
  auto object = std::make_shared<int>(7);
  std::weak_ptr<int> watch = object;
  int keyObject = 0;
  table.Add(&keyObject, std::move(object));
  std::shared_ptr<int> inUse = table.Find(&keyObject);  // a call still running
  EXPECT_TRUE(table.Remove(&keyObject));
  EXPECT_EQ(table.Find(&keyObject), nullptr);
  EXPECT_EQ(table.Remove(&keyObject), nullptr);
  EXPECT_FALSE(watch.expired());
  inUse.reset();
  EXPECT_TRUE(watch.expired());
  int foreign = 0;
  EXPECT_EQ(table.Find(&foreign), nullptr);
  EXPECT_EQ(table.Count(), 0u);
}

}  // namespace
}  // namespace tp::test
