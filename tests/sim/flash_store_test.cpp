// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/flash_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/guider_features.h"

namespace ktal::sim {
namespace {

std::vector<DataPage> Pages(int count) {
  std::vector<DataPage> pages(count);
  for (int i = 0; i < count; ++i) {
    pages[i].data_size = kPageDataBytes;
    pages[i].data[0] = static_cast<std::uint8_t>(i);
  }
  pages.back().next_page = kEofPageFlag | 17;
  pages.back().data_size = 17;
  return pages;
}

TEST(FlashStoreTest, FilesAreChainedThroughFreePages) {
  FlashStore flash;
  DirectoryEntry stamps;
  stamps.created_date = PackDate(2026, 1, 2);
  ASSERT_EQ(flash.AddFile(Pages(3), 0x000010, stamps), 0);
  ASSERT_EQ(flash.AddFile(Pages(2), 0x000011, stamps), 1);
  EXPECT_EQ(flash.ChainOf(0), (std::vector<std::uint16_t>{0, 1, 2}));
  EXPECT_EQ(flash.ChainOf(1), (std::vector<std::uint16_t>{3, 4}));
  EXPECT_EQ(flash.page(4).next_page, kEofPageFlag | 17);
  EXPECT_EQ(FileIdOf(flash.page(3).file_id), 0x000011u);
  EXPECT_EQ(flash.entry(1).created_date, stamps.created_date);
  EXPECT_EQ(flash.FreePages(), 4094 - 5);

  // A loop ends the chain where it closes.
  flash.page(1).next_page = 0;
  EXPECT_EQ(flash.ChainOf(0), (std::vector<std::uint16_t>{0, 1}));
}

TEST(FlashStoreTest, DirectoryPageCarriesTheEntriesAndDeletedOnesKeepTheirPage) {
  FlashStore flash;
  flash.AddFile(Pages(2), 0x012345, {});
  flash.DeleteFile(0);
  const auto bytes = flash.PageBytes(FlashStore::kDirectoryPage);
  const DirectoryEntry deleted = DecodeDirectoryEntry(bytes.data());
  EXPECT_EQ(deleted.first_page, kUnusedEntry);
  EXPECT_EQ(deleted.saved_first_page, 0);
  EXPECT_EQ(FileIdOf(deleted.file_id), 0x012345u);
  EXPECT_EQ(flash.ChainOf(0).size(), 2u);
  const DirectoryEntry unused = DecodeDirectoryEntry(bytes.data() + 32);
  EXPECT_EQ(unused.first_page, kUnusedEntry);
  EXPECT_EQ(unused.saved_first_page, kUnusedEntry);
  // A deleted entry is not reused for a new file.
  EXPECT_EQ(flash.AddFile(Pages(1), 0x000002, {}), 1);
}

TEST(FlashStoreTest, FullStoreRefusesAndKeepsWhatItHas) {
  FlashStore flash;
  EXPECT_EQ(flash.AddFile(Pages(4094), 1, {}), 0);
  EXPECT_EQ(flash.AddFile(Pages(1), 2, {}), -1);
  EXPECT_EQ(flash.entry(1).first_page, kUnusedEntry);
  FlashStore other;
  for (int i = 0; i < FlashStore::kEntries; ++i) ASSERT_EQ(other.AddFile(Pages(1), i, {}), i);
  EXPECT_EQ(other.AddFile(Pages(1), 99, {}), -1);
}

}  // namespace
}  // namespace ktal::sim

namespace ktal::sim {
namespace {

// The interactive simulator's store must give every control of the file
// window something to do.
TEST(DemoStoreTest, HoldsNewDownloadedDeletedAndLongFiles) {
  FlashStore flash;
  FillDemoStore(flash);
  int listed = 0, downloaded = 0, deleted = 0, longest = 0;
  for (int i = 0; i < FlashStore::kEntries; ++i) {
    const DirectoryEntry& e = flash.entry(i);
    if (e.first_page == kUnusedEntry) {
      deleted += e.saved_first_page != kUnusedEntry;
      continue;
    }
    ++listed;
    downloaded += (e.flags & kDownloadedFlag) != 0;
    EXPECT_TRUE(IsValidStamp(e.created_date, e.created_time));
    EXPECT_TRUE(IsValidStamp(e.modified_date, e.modified_time));
    const std::vector<std::uint16_t> chain = flash.ChainOf(i);
    ASSERT_FALSE(chain.empty());
    const DataPage& eof = flash.page(chain.back());
    EXPECT_GE(eof.next_page, kEofPageFlag);
    EXPECT_LT(eof.next_page, kEmptyPageMin);
    longest = std::max(longest, static_cast<int>(chain.size()));
  }
  EXPECT_GE(listed, 3);
  EXPECT_EQ(downloaded, 1);
  EXPECT_EQ(deleted, 1);
  EXPECT_GT(longest, 2000);
}

}  // namespace
}  // namespace ktal::sim
