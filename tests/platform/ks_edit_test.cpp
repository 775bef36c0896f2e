// The class driver's _KsEdit on the host: the bag owns the copy, an owned
// copy large enough is kept, and a failure changes nothing.
#include <gtest/gtest.h>
#include <string.h>

#include "platform/host_pool.h"
#include "platform/ks_host.h"

namespace {

constexpr ULONG kTag = 0x74696445;  // "Edit"

TEST(KsEdit, TheBagOwnsTheCopyAndFreesWhatItReplaces) {
  host::ClearPoolFaults();
  uint64_t baseline = host::PoolLiveAllocations();
  KSOBJECT_BAG bag = host::CreateObjectBag();
  const char original[8] = "abcdefg";
  PVOID item = const_cast<char*>(original);

  ASSERT_EQ(_KsEdit(bag, &item, 8, 8, kTag), STATUS_SUCCESS);
  EXPECT_NE(item, original);
  EXPECT_EQ(memcmp(item, original, 8), 0);
  EXPECT_EQ(host::ObjectBagSize(bag), 1u);
  PVOID copy = item;

  ASSERT_EQ(_KsEdit(bag, &item, 8, 8, kTag), STATUS_SUCCESS);
  EXPECT_EQ(item, copy) << "a copy the bag owns is edited in place";
  ASSERT_EQ(_KsEdit(bag, &item, 4, 8, kTag), STATUS_SUCCESS);
  EXPECT_EQ(item, copy);

  static_cast<char*>(item)[0] = 'X';
  ASSERT_EQ(_KsEdit(bag, &item, 16, 8, kTag), STATUS_SUCCESS);
  EXPECT_NE(item, copy) << "a larger size needs a new copy";
  EXPECT_EQ(static_cast<char*>(item)[0], 'X');
  for (int i = 8; i < 16; ++i) EXPECT_EQ(static_cast<char*>(item)[i], 0) << "grown bytes are zeroed";
  EXPECT_EQ(host::ObjectBagSize(bag), 1u) << "the replaced copy left the bag";

  host::FailNthAllocation(1);
  PVOID before = item;
  EXPECT_EQ(_KsEdit(bag, &item, 32, 16, kTag), STATUS_INSUFFICIENT_RESOURCES);
  host::FailAllocationsWithTag("SKbg");
  EXPECT_EQ(_KsEdit(bag, &item, 32, 16, kTag), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(item, before);
  EXPECT_EQ(host::ObjectBagSize(bag), 1u);

  host::DestroyObjectBag(bag);
  EXPECT_EQ(host::PoolLiveAllocations(), baseline);
}

}  // namespace
