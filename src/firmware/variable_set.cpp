// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/variable_set.h"

#include <algorithm>
#include <string_view>

namespace ktal {

namespace {

// Layout versions at which something moved or changed meaning.
constexpr std::uint16_t kLayout1_11 = 0x0111;
constexpr std::uint16_t kLayout1_12 = 0x0112;
constexpr std::uint16_t kLayout2_10 = 0x0210;
constexpr std::uint16_t kLayout2_20 = 0x0220;
constexpr std::uint16_t kLayout2_40 = 0x0240;
// "Up to" of a variable still stored by the newest layout.
constexpr std::uint16_t kStillStored = 0xFFFF;

enum class Width : std::uint8_t { kByte, kWord };
constexpr Width B = Width::kByte;
constexpr Width W = Width::kWord;

// One place a variable has in the layouts from..upTo (both inclusive).
struct Row {
  std::string_view name;
  std::uint16_t offset;  // in the image, or in a profile
  Width width;
  std::uint16_t from;
  std::uint16_t upTo;
  std::uint16_t defaultValue;
};

constexpr Row kMain[] = {
    {"M00", 0x000, B, 0x0121, kStillStored, 6},    {"M03", 0x003, B, 0x0109, kStillStored, 20},
    {"M04", 0x004, B, 0x0109, kStillStored, 20},   {"M05", 0x005, B, 0x0109, kStillStored, 20},
    {"M06", 0x006, B, 0x0109, kStillStored, 20},   {"M07", 0x007, B, 0x0201, kStillStored, 0},
    {"M10", 0x010, W, 0x0108, kStillStored, 1},    {"M12", 0x012, W, 0x0108, kStillStored, 50},
    {"M14", 0x014, W, 0x0108, 0x0202, 0},          {"M14", 0x014, B, 0x0203, kStillStored, 0},
    {"M15", 0x015, B, 0x0203, kStillStored, 2},    {"M16", 0x016, W, 0x0108, kStillStored, 600},
    {"M18", 0x018, W, 0x0203, kStillStored, 1},    {"M1A", 0x01A, W, 0x0203, kStillStored, 50},
    {"M1C", 0x01C, B, 0x0203, kStillStored, 0},    {"M1D", 0x01D, B, 0x0203, kStillStored, 0},
    {"M1E", 0x01E, W, 0x0203, kStillStored, 600},  {"M20", 0x020, B, 0x0203, kStillStored, 0},
    {"M21", 0x021, B, 0x0203, kStillStored, 0},    {"M22", 0x022, B, 0x0210, kStillStored, 0},
    {"M23", 0x023, B, 0x0210, kStillStored, 0},    {"M24", 0x024, B, 0x0212, kStillStored, 0},
    {"M2F", 0x02F, B, 0x0111, kStillStored, 0},    {"M330", 0x330, W, 0x0203, kStillStored, 1},
    {"M332", 0x332, W, 0x0203, kStillStored, 50},  {"M334", 0x334, B, 0x0203, kStillStored, 0},
    {"M335", 0x335, B, 0x0203, kStillStored, 0},   {"M336", 0x336, W, 0x0203, kStillStored, 600},
    {"M338", 0x338, W, 0x0203, kStillStored, 1},   {"M33A", 0x33A, W, 0x0203, kStillStored, 50},
    {"M33C", 0x33C, B, 0x0203, kStillStored, 0},   {"M33D", 0x33D, B, 0x0203, kStillStored, 0},
    {"M33E", 0x33E, W, 0x0203, kStillStored, 600},
};

// Offsets are inside the profile (base 0, 256 or 512).
constexpr Row kProfile[] = {
    {"P30", 0x30, W, 0x0108, kStillStored, 180},
    {"P32", 0x32, B, 0x0108, kStillStored, 50},
    {"P33", 0x33, B, 0x0111, kStillStored, 7},
    {"P34", 0x34, W, 0x0111, kStillStored, 1000},
    {"legacy flag", 0x36, B, 0x0111, 0x0111, 0},
    {"P36", 0x36, B, 0x0112, kStillStored, 0},
    // 1.11 keeps only the high byte of PC3; reading and writing scale it.
    {"PC3", 0x37, B, 0x0111, 0x0111, 4096},
    {"PC3", 0xC3, W, 0x0112, kStillStored, 4096},
    {"P38", 0x38, W, 0x0111, kStillStored, 0},
    {"P3A", 0x3A, W, 0x0111, kStillStored, 0},
    {"P3C", 0x3C, W, 0x0111, kStillStored, 0},
    {"P3E", 0x3E, W, 0x0111, kStillStored, 0},
    {"P40", 0x40, B, 0x0111, kStillStored, 1},
    {"P41", 0x41, W, 0x0111, kStillStored, 10},
    {"P43", 0x43, B, 0x0111, kStillStored, 80},
    {"P44", 0x44, B, 0x0111, kStillStored, 2},
    {"P45", 0x45, B, 0x0111, kStillStored, 1},
    {"P80", 0x80, B, 0x0111, kStillStored, 1},
    {"P81", 0x81, W, 0x0111, kStillStored, 10},
    {"P83", 0x83, B, 0x0111, kStillStored, 80},
    {"P84", 0x84, B, 0x0111, kStillStored, 2},
    {"P85", 0x85, B, 0x0111, kStillStored, 1},
    {"PC0", 0xC0, B, 0x0111, kStillStored, 50},
    {"PC1", 0xC1, B, 0x0111, kStillStored, 0},
    {"PC5", 0xC5, B, 0x0121, kStillStored, 0},
    {"PC6", 0xC6, B, 0x0123, kStillStored, 0},
    {"PC7", 0xC7, W, 0x0220, kStillStored, 0},
    {"PC9", 0xC9, B, 0x0220, kStillStored, 99},
    {"PCA", 0xCA, B, 0x0220, kStillStored, 0},
    {"PCB", 0xCB, W, 0x0220, kStillStored, 0},
    {"PCD", 0xCD, W, 0x0220, kStillStored, 0},
    {"PCF", 0xCF, W, 0x0220, kStillStored, 0},
    {"PD1", 0xD1, W, 0x0220, kStillStored, 0},
    {"PD3", 0xD3, W, 0x0230, kStillStored, 0},
    {"PD5", 0xD5, B, 0x0230, kStillStored, 0},
    {"PD6", 0xD6, B, 0x0250, kStillStored, 2},
};

static_assert(std::size(kMain) == VariableSet::kMainRows);
static_assert(std::size(kProfile) == VariableSet::kProfileRows);

constexpr int Bytes(Width width) { return width == Width::kWord ? 2 : 1; }

// The value slot of a row: the first row of the same variable.
template <std::size_t N>
constexpr int SlotOf(const Row (&rows)[N], int row) {
  for (int i = 0; i < row; ++i) {
    if (rows[i].name == rows[row].name) return i;
  }
  return row;
}

template <std::size_t N>
constexpr int RowNamed(const Row (&rows)[N], std::string_view name) {
  for (int i = 0; i < static_cast<int>(N); ++i) {
    if (rows[i].name == name) return i;
  }
  return -1;
}

// Rows of one variable agree on its default and never claim the same layout
// twice, and every place lies inside its area of the image.
template <std::size_t N>
constexpr bool IsSound(const Row (&rows)[N], int areaSize) {
  for (int i = 0; i < static_cast<int>(N); ++i) {
    if (rows[i].from > rows[i].upTo) return false;
    if (rows[i].offset + Bytes(rows[i].width) > areaSize) return false;
    const Row& first = rows[SlotOf(rows, i)];
    if (first.defaultValue != rows[i].defaultValue) return false;
    for (int j = 0; j < i; ++j) {
      if (rows[j].name == rows[i].name && rows[j].from <= rows[i].upTo &&
          rows[i].from <= rows[j].upTo) {
        return false;
      }
    }
  }
  return true;
}
static_assert(IsSound(kMain, kEepromTransferSize));
static_assert(IsSound(kProfile, kProfileBase[1] - kProfileBase[0]));
static_assert(kProfileBase[kProfileCount - 1] + 256 <= kEepromTransferSize);

// The variables whose conversion is more than a copy.
constexpr int kM00 = RowNamed(kMain, "M00");
constexpr int kP32 = RowNamed(kProfile, "P32");
constexpr int kLegacyFlag = RowNamed(kProfile, "legacy flag");
constexpr int kP36 = RowNamed(kProfile, "P36");
constexpr int kPC3InHighByte = RowNamed(kProfile, "PC3");
constexpr int kPC5 = RowNamed(kProfile, "PC5");
static_assert(kM00 >= 0 && kP32 >= 0 && kLegacyFlag >= 0 && kP36 >= 0 && kPC3InHighByte >= 0 &&
              kPC5 >= 0);
static_assert(kProfile[kPC3InHighByte].upTo == kLayout1_11);

// No firmware takes an M00 above this.
constexpr std::uint32_t kM00Limit = 9;

constexpr std::uint8_t kFixedBytes[] = {0x11, 0x08, 0x01, 0x14, 0x00};
constexpr int kFixedBytesAt = 0x418;

bool Stores(const Row& row, std::uint16_t layout) {
  return row.from <= layout && layout <= row.upTo;
}

// Profiles 1 and 2 came with 1.11; older layouts leave them alone.
int ConvertedProfiles(std::uint16_t layout) { return layout < kLayout1_11 ? 1 : kProfileCount; }

std::uint32_t Load(const std::array<std::uint8_t, kEepromImageSize>& image, int at, Width width) {
  std::uint32_t value = image[at];
  if (width == Width::kWord) value |= static_cast<std::uint32_t>(image[at + 1]) << 8;
  return value;
}

void Store(std::array<std::uint8_t, kEepromImageSize>& image, int at, Width width,
           std::uint32_t value) {
  image[at] = static_cast<std::uint8_t>(value);
  if (width == Width::kWord) image[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Layouts before 1.11 keep P32 on a 0..255 scale where 0 stands for the
// full 256, and read it back as value x 100 / 256. Written back to such a
// layout it goes onto that scale again, so that the old firmware sees the
// percentage it had. Rounding up makes the byte read back as the same
// percentage; 100 and above are the full scale, stored as 0; anything below
// 25 is stored as 32, the least those layouts are given.
std::uint32_t P32OnOldScale(std::uint32_t percent) {
  if (percent >= 100) return 0;
  if (percent < 25) return 32;
  return (percent * 256 + 99) / 100;
}

// PC5 bits that a layout's firmware used for something else, or not yet.
std::uint32_t PC5BitsToClear(std::uint16_t layout) {
  std::uint32_t bits = 0;
  if (layout >= kLayout2_10) bits |= 0x04;
  if (layout >= kLayout2_20) bits |= 0x08;
  if (layout < kLayout2_40) bits |= 0x30;
  return bits;
}

// The row of the variable named by its offset in the newest layout.
template <std::size_t N>
int NewestRowAt(const Row (&rows)[N], int offset) {
  for (int i = 0; i < static_cast<int>(N); ++i) {
    if (rows[i].upTo == kStillStored && rows[i].offset == offset) return i;
  }
  return -1;
}

}  // namespace

void VariableSet::SetDefaults() {
  for (int r = 0; r < kMainRows; ++r) main_[r] = kMain[r].defaultValue;
  for (auto& values : profile_) {
    for (int r = 0; r < kProfileRows; ++r) values[r] = kProfile[r].defaultValue;
  }
  image.fill(0xFF);
  std::copy(std::begin(kFixedBytes), std::end(kFixedBytes), image.begin() + kFixedBytesAt);
}

void VariableSet::ReadFromImage(std::uint16_t version) {
  if (version == kErasedImageVersion) return;

  // M00 is never above 9, also when the layout does not store it.
  main_[kM00] = std::min(main_[kM00], kM00Limit);

  for (int r = 0; r < kMainRows; ++r) {
    const Row& row = kMain[r];
    if (Stores(row, version)) main_[SlotOf(kMain, r)] = Load(image, row.offset, row.width);
  }

  for (int p = 0; p < ConvertedProfiles(version); ++p) {
    auto& values = profile_[p];
    for (int r = 0; r < kProfileRows; ++r) {
      const Row& row = kProfile[r];
      if (Stores(row, version)) {
        values[SlotOf(kProfile, r)] = Load(image, kProfileBase[p] + row.offset, row.width);
      }
    }
    // Before 1.12 P36 was a single flag.
    if (version < kLayout1_12) values[kP36] = values[kLegacyFlag] & 1;
    // 1.11 kept PC3's high byte. A layout without that byte leaves
    // PC3 as it is: scaling a kept value would push the default 4096 out of
    // the word it is written to.
    if (Stores(kProfile[kPC3InHighByte], version)) values[kPC3InHighByte] *= 256;
    // From the old 0..255 scale to percent.
    if (version < kLayout1_11) {
      std::uint32_t& p32 = values[kP32];
      p32 = p32 == 0 ? 100 : p32 * 100 / 256;
    }
    // PC5 bits the layout's firmware did not mean as they mean now.
    values[kPC5] &= ~PC5BitsToClear(version);
  }
}

void VariableSet::WriteToImage(std::uint16_t version) {
  if (version == kErasedImageVersion) return;

  // M00 is never written above 9.
  main_[kM00] = std::min(main_[kM00], kM00Limit);

  for (int r = 0; r < kMainRows; ++r) {
    const Row& row = kMain[r];
    if (Stores(row, version)) Store(image, row.offset, row.width, main_[SlotOf(kMain, r)]);
  }

  for (int p = 0; p < ConvertedProfiles(version); ++p) {
    auto& values = profile_[p];
    // Before 1.12 P36 is stored as a flag of 0 or 1.
    if (version < kLayout1_12) values[kLegacyFlag] = values[kP36] != 0 ? 1 : 0;
    for (int r = 0; r < kProfileRows; ++r) {
      const Row& row = kProfile[r];
      if (!Stores(row, version)) continue;
      std::uint32_t value = values[SlotOf(kProfile, r)];
      if (r == kPC3InHighByte) value /= 256;  // its high byte
      if (r == kP32 && version < kLayout1_11) value = P32OnOldScale(value);
      Store(image, kProfileBase[p] + row.offset, row.width, value);
    }
  }
}

std::uint16_t VariableSet::ImageVersion() const {
  return static_cast<std::uint16_t>(image[1] | (image[2] << 8));
}

void VariableSet::SetImageVersion(std::uint16_t version) {
  image[1] = static_cast<std::uint8_t>(version);
  image[2] = static_cast<std::uint8_t>(version >> 8);
}

std::optional<std::uint32_t> VariableSet::Main(int offset) const {
  const int row = NewestRowAt(kMain, offset);
  if (row < 0) return std::nullopt;
  return main_[SlotOf(kMain, row)];
}

std::optional<std::uint32_t> VariableSet::Profile(int profile, int offset) const {
  const int row = NewestRowAt(kProfile, offset);
  if (row < 0 || profile < 0 || profile >= kProfileCount) return std::nullopt;
  return profile_[profile][SlotOf(kProfile, row)];
}

bool VariableSet::SetMain(int offset, std::uint32_t value) {
  const int row = NewestRowAt(kMain, offset);
  if (row < 0) return false;
  main_[SlotOf(kMain, row)] = value;
  return true;
}

bool VariableSet::SetProfile(int profile, int offset, std::uint32_t value) {
  const int row = NewestRowAt(kProfile, offset);
  if (row < 0 || profile < 0 || profile >= kProfileCount) return false;
  profile_[profile][SlotOf(kProfile, row)] = value;
  return true;
}

std::uint32_t VariableSet::LegacyFlag(int profile) const {
  if (profile < 0 || profile >= kProfileCount) return 0;
  return profile_[profile][kLegacyFlag];
}

}  // namespace ktal
