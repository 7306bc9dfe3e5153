// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's flash file system: 4096 pages of 528 bytes, page
// 4095 the directory of 16 entries, page 4094 reserved, files as chains of
// data pages. Pages are kept decoded so that tests can damage a chain by
// plain assignment (store.page(n).next_page = 0x0FFF) and the page reads
// encode them as the guider sends them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "guidelog/log_format.h"

namespace ktal::sim {

class FlashStore {
 public:
  static constexpr int kPages = 4096;
  static constexpr std::uint16_t kDirectoryPage = 4095;
  static constexpr std::uint16_t kReservedPage = 4094;
  static constexpr int kEntries = 16;

  // Erased: every data page reads 0xFF, every entry is unused.
  FlashStore();

  // The 528 bytes a page read delivers; the directory page is built from
  // the entries.
  std::array<std::uint8_t, kDataPageSize> PageBytes(std::uint16_t page) const;

  // Throws std::out_of_range for a number of 4096 or above.
  DataPage& page(std::uint16_t number);
  const DataPage& page(std::uint16_t number) const;
  DirectoryEntry& entry(int index) { return entries_.at(index); }
  const DirectoryEntry& entry(int index) const { return entries_.at(index); }

  // Stores a file's pages in free pages, in order, chained one to the next
  // (the last page keeps its own next_page, the EOF mark), each carrying
  // `file_id`, and fills the first unused entry from `entry` with first_page
  // and file_id set. Returns the entry index, or -1 when no entry or not
  // enough free pages are left (nothing is stored then).
  int AddFile(const std::vector<DataPage>& pages, std::uint32_t file_id, DirectoryEntry entry);
  // The page numbers of an entry's chain as stored, following next_page
  // from first_page (or saved_first_page of a deleted file) until an EOF
  // page, an invalid number or a page seen before.
  std::vector<std::uint16_t> ChainOf(int index) const;
  // Deletes the file the way the guider does: first_page moves to
  // saved_first_page, the pages stay as they are.
  void DeleteFile(int index);
  // Pages that belong to no chain of a listed or deleted file.
  int FreePages() const;

 private:
  // Only pages ever written or handed out for writing are kept; the rest
  // read as erased. A guider is made for every run of a test, and most of
  // its 2 MB of flash is never touched.
  std::map<std::uint16_t, DataPage> pages_;
  std::array<DirectoryEntry, kEntries> entries_;
  std::vector<bool> used_;
};

// An erased page as a page read delivers it.
DataPage ErasedPage();

}  // namespace ktal::sim
