// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/log_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ktal {
namespace {

TEST(LogFormatTest, PackedDateAndTime) {
  const std::uint16_t date = PackDate(2014, 3, 21);
  EXPECT_EQ(date, (14 << 9) | (3 << 5) | 21);
  EXPECT_EQ(DateYear(date), 2014);
  EXPECT_EQ(DateMonth(date), 3);
  EXPECT_EQ(DateDay(date), 21);
  const std::uint16_t time = PackTime(23, 59);
  EXPECT_EQ(time, 0x173B);
  EXPECT_EQ(TimeHour(time), 23);
  EXPECT_EQ(TimeMinute(time), 59);
}

TEST(LogFormatTest, StampCheck) {
  EXPECT_TRUE(IsValidStamp(kUnsetDate, 0xFFFF));
  EXPECT_TRUE(IsValidStamp(PackDate(2014, 12, 31), PackTime(23, 59)));
  EXPECT_FALSE(IsValidStamp(PackDate(2014, 0, 1), PackTime(0, 0)));
  EXPECT_FALSE(IsValidStamp(PackDate(2014, 13, 1), PackTime(0, 0)));
  EXPECT_FALSE(IsValidStamp(PackDate(2014, 1, 0), PackTime(0, 0)));
  EXPECT_FALSE(IsValidStamp(PackDate(2014, 1, 1), PackTime(24, 0)));
  EXPECT_FALSE(IsValidStamp(PackDate(2014, 1, 1), PackTime(0, 60)));
}

TEST(LogFormatTest, FileIdAndName) {
  std::uint8_t id[3];
  SetFileId(id, 0x012345);
  EXPECT_EQ(id[0], 0x45);
  EXPECT_EQ(id[1], 0x23);
  EXPECT_EQ(id[2], 0x01);
  EXPECT_EQ(FileIdOf(id), 0x012345u);
  EXPECT_EQ(GuiderFileName(0x00abcd), "QD00abcd");
}

TEST(LogFormatTest, DirectoryEntryBytesAreLittleEndian) {
  DirectoryEntry entry;
  entry.first_page = 0x0102;
  SetFileId(entry.file_id, 0x030405);
  entry.flags = 0x81;
  entry.created_date = 0x0607;
  entry.created_time = 0x0809;
  entry.modified_date = 0x0A0B;
  entry.modified_time = 0x0C0D;
  for (int i = 0; i < 16; ++i) entry.reserved[i] = static_cast<std::uint8_t>(0xE0 + i);
  entry.saved_first_page = 0x0E0F;
  std::uint8_t bytes[kDirectoryEntrySize];
  EncodeDirectoryEntry(entry, bytes);
  const std::uint8_t expected_head[14] = {0x02, 0x01, 0x05, 0x04, 0x03, 0x81, 0x07,
                                          0x06, 0x09, 0x08, 0x0B, 0x0A, 0x0D, 0x0C};
  EXPECT_EQ(std::memcmp(bytes, expected_head, sizeof expected_head), 0);
  EXPECT_EQ(bytes[14], 0xE0);
  EXPECT_EQ(bytes[29], 0xEF);
  EXPECT_EQ(bytes[30], 0x0F);
  EXPECT_EQ(bytes[31], 0x0E);
  const DirectoryEntry back = DecodeDirectoryEntry(bytes);
  std::uint8_t again[kDirectoryEntrySize];
  EncodeDirectoryEntry(back, again);
  EXPECT_EQ(std::memcmp(bytes, again, sizeof bytes), 0);
}

TEST(LogFormatTest, DataPageBytes) {
  DataPage page;
  page.next_page = 0x1234;
  SetFileId(page.file_id, 0x00ABCD);
  page.data_size = 0x01FF;
  page.data[0] = 0x11;
  page.data[511] = 0x22;
  std::uint8_t bytes[kDataPageSize];
  EncodeDataPage(page, bytes);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  EXPECT_EQ(bytes[2], 0xCD);
  EXPECT_EQ(bytes[3], 0xAB);
  EXPECT_EQ(bytes[6], 0xFF);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[16], 0x11);
  EXPECT_EQ(bytes[527], 0x22);
  DataPage back;
  DecodeDataPage(bytes, back);
  EXPECT_EQ(back.next_page, 0x1234);
  EXPECT_EQ(back.data_size, 0x01FF);
  EXPECT_EQ(back.data[511], 0x22);
}

TEST(LogFormatTest, RawHeader) {
  std::uint8_t header[kRawHeaderSize];
  EncodeRawHeader(header);
  EXPECT_EQ(std::memcmp(header, "ORVELIA K-Tal raw file", 22), 0);
  for (std::size_t i = 22; i < kRawHeaderSize; ++i) EXPECT_EQ(header[i], 0) << i;
}

}  // namespace
}  // namespace ktal
