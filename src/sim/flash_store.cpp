// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/flash_store.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ktal::sim {

DataPage ErasedPage() {
  std::uint8_t bytes[kDataPageSize];
  std::memset(bytes, 0xFF, sizeof bytes);
  DataPage page;
  DecodeDataPage(bytes, page);
  return page;
}

namespace {

DirectoryEntry UnusedEntry() {
  std::uint8_t bytes[kDirectoryEntrySize];
  std::memset(bytes, 0xFF, sizeof bytes);
  return DecodeDirectoryEntry(bytes);
}

}  // namespace

FlashStore::FlashStore() : used_(kPages, false) {
  entries_.fill(UnusedEntry());
  used_[kReservedPage] = true;
  used_[kDirectoryPage] = true;
}

DataPage& FlashStore::page(std::uint16_t number) {
  if (number >= kPages) throw std::out_of_range("flash page number");
  const auto it = pages_.find(number);
  if (it != pages_.end()) return it->second;
  return pages_.emplace(number, ErasedPage()).first->second;
}

const DataPage& FlashStore::page(std::uint16_t number) const {
  static const DataPage erased = ErasedPage();
  if (number >= kPages) throw std::out_of_range("flash page number");
  const auto it = pages_.find(number);
  return it != pages_.end() ? it->second : erased;
}

std::array<std::uint8_t, kDataPageSize> FlashStore::PageBytes(std::uint16_t page) const {
  std::array<std::uint8_t, kDataPageSize> bytes;
  if (page == kDirectoryPage) {
    bytes.fill(0xFF);
    for (int i = 0; i < kEntries; ++i) {
      EncodeDirectoryEntry(entries_[i], bytes.data() + i * kDirectoryEntrySize);
    }
  } else {
    EncodeDataPage(this->page(page), bytes.data());
  }
  return bytes;
}

int FlashStore::AddFile(const std::vector<DataPage>& pages, std::uint32_t file_id,
                        DirectoryEntry entry) {
  const auto slot = std::find_if(entries_.begin(), entries_.end(), [](const DirectoryEntry& e) {
    return e.first_page == kUnusedEntry && e.saved_first_page == kUnusedEntry;
  });
  if (slot == entries_.end() || pages.empty()) return -1;
  std::vector<std::uint16_t> numbers;
  for (int n = 0; n < kReservedPage && numbers.size() < pages.size(); ++n) {
    if (!used_[n]) numbers.push_back(static_cast<std::uint16_t>(n));
  }
  if (numbers.size() < pages.size()) return -1;

  for (std::size_t i = 0; i < pages.size(); ++i) {
    DataPage page = pages[i];
    SetFileId(page.file_id, file_id);
    if (i + 1 < pages.size()) page.next_page = numbers[i + 1];
    this->page(numbers[i]) = page;
    used_[numbers[i]] = true;
  }
  entry.first_page = numbers.front();
  entry.saved_first_page = kUnusedEntry;
  SetFileId(entry.file_id, file_id);
  *slot = entry;
  return static_cast<int>(slot - entries_.begin());
}

std::vector<std::uint16_t> FlashStore::ChainOf(int index) const {
  const DirectoryEntry& e = entries_.at(index);
  std::uint16_t current = e.first_page == kUnusedEntry ? e.saved_first_page : e.first_page;
  std::vector<std::uint16_t> chain;
  std::vector<bool> seen(kPages, false);
  while (current < kReservedPage && !seen[current]) {
    seen[current] = true;
    chain.push_back(current);
    const std::uint16_t next = page(current).next_page;
    if (next >= kEofPageFlag) break;
    current = next;
  }
  return chain;
}

void FlashStore::DeleteFile(int index) {
  DirectoryEntry& e = entries_.at(index);
  if (e.first_page == kUnusedEntry) return;
  e.saved_first_page = e.first_page;
  e.first_page = kUnusedEntry;
}

int FlashStore::FreePages() const {
  return static_cast<int>(std::count(used_.begin(), used_.end(), false));
}

}  // namespace ktal::sim
