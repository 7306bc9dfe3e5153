// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/variable_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace ktal {
namespace {

using Image = std::array<std::uint8_t, kEepromImageSize>;

// A byte or little-endian word at an image offset.
struct Put {
  int at;
  int bytes;  // 1 or 2
  std::uint32_t value;
};

void Apply(Image& image, const Put& put) {
  image[put.at] = static_cast<std::uint8_t>(put.value);
  if (put.bytes == 2) image[put.at + 1] = static_cast<std::uint8_t>(put.value >> 8);
}

std::uint32_t ValueAt(const Image& image, const Put& put) {
  std::uint32_t value = image[put.at];
  if (put.bytes == 2) value |= static_cast<std::uint32_t>(image[put.at + 1]) << 8;
  return value;
}

Image RandomImage(std::mt19937& random) {
  Image image;
  for (auto& byte : image) byte = static_cast<std::uint8_t>(random() >> 24);
  return image;
}

// What the firmware update does with the guider's variables: defaults,
// the guider's 1280 bytes read under their own version, then written back
// under the new firmware's version.
VariableSet Convert(const Image& guider, std::uint16_t to) {
  VariableSet set;
  set.SetDefaults();
  std::copy_n(guider.begin(), kEepromTransferSize, set.image.begin());
  set.ReadFromImage(set.ImageVersion());
  set.SetImageVersion(to);
  set.WriteToImage(to);
  return set;
}

constexpr int kProfile1 = 256;
constexpr int kProfile2 = 512;

// A whole-image comparison a conversion must also pass.
enum class SameAs {
  kNothing,
  kDefaultsWritten,        // the default set written under `to`
  kSourceConvertedTo2_50,  // the same guider image converted to 2.50
};

struct Conversion {
  std::string name;
  std::uint16_t from;       // the guider image's version word
  std::vector<Put> guider;  // on top of random bytes
  std::uint16_t to;
  std::vector<Put> expected;  // in the image written back
  SameAs sameAs = SameAs::kNothing;
};

TEST(VariableSetTest, ConversionsBetweenLayouts) {
  const std::vector<Conversion> cases = {
      {"word M14 of 2.02 becomes a byte, M15 gets its default",
       0x0202,
       {{0x014, 2, 0x0123}},
       0x0250,
       {{0x014, 1, 0x23}, {0x015, 1, 2}}},
      {"byte M14 of 2.50 back into the 2.02 word, over M15",
       0x0250,
       {{0x014, 1, 0x23}, {0x015, 1, 7}},
       0x0202,
       {{0x014, 2, 0x0023}}},
      {"PC3's high byte of 1.11 becomes a word, in every profile",
       0x0111,
       {{0x37, 1, 16}, {kProfile2 + 0x37, 1, 0x20}},
       0x0250,
       {{0xC3, 2, 0x1000}, {kProfile2 + 0xC3, 2, 0x2000}}},
      {"PC3 back to 1.11 keeps its high byte, rounded down",
       0x0250,
       {{0xC3, 2, 0x12FF}},
       0x0111,
       {{0x37, 1, 0x12}}},
      {"1.10 has no PC3: its default survives", 0x0110, {}, 0x0250, {{0xC3, 2, 4096}}},
      {"a 1.11 legacy flag of 5 gives P36 = 1",
       0x0111,
       {{0x36, 1, 5}, {kProfile1 + 0x36, 1, 4}},
       0x0250,
       {{0x36, 1, 1}, {kProfile1 + 0x36, 1, 0}}},
      {"P36 back to 1.11 as a flag of 0 or 1",
       0x0250,
       {{0x36, 1, 7}, {kProfile2 + 0x36, 1, 0}},
       0x0111,
       {{0x36, 1, 1}, {kProfile2 + 0x36, 1, 0}}},
      {"PC5 0x3C from 1.21 loses bits 4 and 5",
       0x0121,
       {{0xC5, 1, 0x3C}},
       0x0250,
       {{0xC5, 1, 0x0C}}},
      {"PC5 0x3C from 2.10 also loses bit 2", 0x0210, {{0xC5, 1, 0x3C}}, 0x0250, {{0xC5, 1, 0x08}}},
      {"PC5 0x3C from 2.30 loses bits 2 to 5",
       0x0230,
       {{kProfile1 + 0xC5, 1, 0x3C}},
       0x0250,
       {{kProfile1 + 0xC5, 1, 0x00}}},
      {"PC5 0x3C from 2.40 keeps bits 4 and 5",
       0x0240,
       {{0xC5, 1, 0x3C}},
       0x0250,
       {{0xC5, 1, 0x30}}},
      {"M00 of 0xFF from 1.21 is written as 9",
       0x0121,
       {{0x000, 1, 0xFF}},
       0x0250,
       {{0x000, 1, 9}}},
      {"M00 of 0xFF from 2.50 is written as 9",
       0x0250,
       {{0x000, 1, 0xFF}},
       0x0250,
       {{0x000, 1, 9}}},
      {"P32 of 1.10 moves from the 0..255 scale to percent",
       0x0110,
       {{0x32, 1, 128}},
       0x0250,
       {{0x32, 1, 50}}},
      {"P32 byte 0 of 1.08 is the full scale", 0x0108, {{0x32, 1, 0}}, 0x0250, {{0x32, 1, 100}}},
      {"P32 onto the old scale, rounded up to read back the same",
       0x0250,
       {{0x32, 1, 26}},
       0x0110,
       {{0x32, 1, 67}}},
      {"P32 of 100 onto the old scale is its full-scale 0",
       0x0250,
       {{0x32, 1, 100}},
       0x0110,
       {{0x32, 1, 0}}},
      {"P32 below 25 onto the old scale is 32", 0x0250, {{0x32, 1, 10}}, 0x0110, {{0x32, 1, 32}}},
      {"profiles 1 and 2 of 1.10 are not read: they come out as defaults",
       0x0110,
       {{kProfile1 + 0x30, 2, 0x1234}, {kProfile2 + 0x32, 1, 128}},
       0x0250,
       {{kProfile1 + 0x30, 2, 180}, {kProfile2 + 0x32, 1, 50}}},
      {"profiles 1 and 2 are not written to 1.10, profile 0 is",
       0x0110,
       {{0x32, 1, 0x41}, {kProfile1 + 0x32, 1, 0x41}, {kProfile2 + 0x32, 1, 0x41}},
       0x0110,
       {{0x32, 1, 0x40}, {kProfile1 + 0x32, 1, 0x41}, {kProfile2 + 0x32, 1, 0x41}}},
      {"an erased guider keeps the defaults",
       kErasedImageVersion,
       {},
       0x0250,
       {},
       SameAs::kDefaultsWritten},
      {"writing 2.60 is writing 2.50",
       0x0230,
       {{0xC5, 1, 0x3C}},
       0x0260,
       {},
       SameAs::kSourceConvertedTo2_50},
      {"writing 2.61 is writing 2.50", 0x0111, {}, 0x0261, {}, SameAs::kSourceConvertedTo2_50},
  };

  std::mt19937 random(20140321);
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.name);
    Image guider = RandomImage(random);
    guider[1] = static_cast<std::uint8_t>(c.from);
    guider[2] = static_cast<std::uint8_t>(c.from >> 8);
    for (const Put& put : c.guider) Apply(guider, put);

    const VariableSet converted = Convert(guider, c.to);
    EXPECT_EQ(converted.ImageVersion(), c.to);
    for (const Put& want : c.expected) {
      EXPECT_EQ(ValueAt(converted.image, want), want.value) << "at 0x" << std::hex << want.at;
    }

    std::optional<Image> reference;
    if (c.sameAs == SameAs::kDefaultsWritten) {
      VariableSet defaults;
      defaults.SetDefaults();
      std::copy_n(guider.begin(), kEepromTransferSize, defaults.image.begin());
      defaults.SetImageVersion(c.to);
      defaults.WriteToImage(c.to);
      // Nothing of the erased image was taken as a variable.
      reference = defaults.image;
    } else if (c.sameAs == SameAs::kSourceConvertedTo2_50) {
      VariableSet as250 = Convert(guider, 0x0250);
      as250.SetImageVersion(c.to);
      reference = as250.image;
    }
    if (reference) {
      const auto differ =
          std::mismatch(reference->begin(), reference->end(), converted.image.begin());
      EXPECT_EQ(differ.first, reference->end())
          << "first difference at 0x" << std::hex << (differ.first - reference->begin());
    }
  }
}

TEST(VariableSetTest, ReadValuesByName) {
  // What the window and the tests see of a read: the values behind the
  // bytes, under the names of the newest layout.
  Image guider{};
  guider[1] = 0x11;
  guider[2] = 0x01;
  guider[0x014] = 0x23;
  guider[0x015] = 0x01;
  guider[kProfile1 + 0x36] = 5;
  guider[kProfile1 + 0x37] = 16;
  VariableSet set;
  set.SetDefaults();
  set.SetMain(0x00, 12);
  set.image = guider;
  set.ReadFromImage(0x0111);
  // 1.11 has no M00; what the set holds is kept, but never above 9.
  EXPECT_EQ(set.Main(0x00), 9u);
  EXPECT_EQ(set.Main(0x14), 0x0123u);
  EXPECT_EQ(set.LegacyFlag(1), 5u);
  EXPECT_EQ(set.Profile(1, 0x36), 1u);
  EXPECT_EQ(set.Profile(1, 0xC3), 4096u);
  // Not variables of any layout, or no such profile.
  EXPECT_FALSE(set.Main(0x01).has_value());
  EXPECT_FALSE(set.Profile(1, 0x37).has_value());
  EXPECT_FALSE(set.Profile(3, 0x30).has_value());
  EXPECT_FALSE(set.SetMain(0x02, 1));
  EXPECT_FALSE(set.SetProfile(-1, 0x30, 1));
}

TEST(VariableSetTest, DefaultsReplaceWhateverWasRead) {
  std::mt19937 random(7);
  VariableSet used;
  used.image = RandomImage(random);
  used.ReadFromImage(0x0250);
  used.SetDefaults();
  for (int i = 0; i < kEepromImageSize; ++i) {
    if (i >= 0x418 && i <= 0x41C) continue;
    ASSERT_EQ(used.image[i], 0xFF) << "at 0x" << std::hex << i;
  }
  const std::uint8_t fixed[] = {0x11, 0x08, 0x01, 0x14, 0x00};
  EXPECT_TRUE(std::equal(std::begin(fixed), std::end(fixed), used.image.begin() + 0x418));

  used.WriteToImage(0x0250);
  VariableSet fresh;
  fresh.SetDefaults();
  fresh.WriteToImage(0x0250);
  EXPECT_EQ(used.image, fresh.image);
}

// The layouts a round trip is tried on: one before any variable, each
// version where something starts or stops, one between, and newer ones.
constexpr std::uint16_t kLayouts[] = {0x0100,
                                      0x0108,
                                      0x0109,
                                      0x0110,
                                      0x0111,
                                      0x0112,
                                      0x0120,
                                      0x0121,
                                      0x0123,
                                      0x0201,
                                      0x0202,
                                      0x0203,
                                      0x0210,
                                      0x0212,
                                      0x0220,
                                      0x0230,
                                      0x0235,
                                      0x0240,
                                      0x0250,
                                      0x0260,
                                      0x0261,
                                      0x0999,
                                      kErasedImageVersion};

// P32 as layouts before 1.11 mean their byte: on a 0..255 scale, 0 full.
std::uint32_t OldScalePercent(std::uint8_t byte) { return byte == 0 ? 100 : byte * 100 / 256; }

TEST(VariableSetTest, RoundTripChangesOnlyWhatTheLayoutMeansToChange) {
  std::mt19937 random(1108);
  for (const std::uint16_t layout : kLayouts) {
    for (int trial = 0; trial < 40; ++trial) {
      SCOPED_TRACE(testing::Message()
                   << "layout 0x" << std::hex << layout << " trial " << std::dec << trial);
      VariableSet set;
      set.SetDefaults();
      set.image = RandomImage(random);
      if (trial == 0) set.image[0x32] = 0;  // P32's full scale, hard to hit at random
      const Image before = set.image;
      set.ReadFromImage(layout);
      set.WriteToImage(layout);

      const bool erased = layout == kErasedImageVersion;
      for (int at = 0; at < kEepromImageSize; ++at) {
        const std::uint8_t was = before[at];
        const std::uint8_t now = set.image[at];
        const int inProfile = at < 768 ? at % 256 : -1;
        if (erased) {
          ASSERT_EQ(now, was) << "at 0x" << std::hex << at;
        } else if (at == 0 && layout >= 0x0121) {
          // M00 is never above 9.
          ASSERT_EQ(now, std::min<std::uint8_t>(was, 9));
        } else if (inProfile == 0x36 && layout == 0x0111) {
          // The legacy flag is stored as 0 or 1 (its lowest bit).
          ASSERT_EQ(now, was & 1) << "at 0x" << std::hex << at;
        } else if (inProfile == 0xC5 && layout >= 0x0121) {
          // PC5 loses the bits its layout does not use.
          std::uint8_t unused = 0;
          if (layout >= 0x0210) unused |= 0x04;
          if (layout >= 0x0220) unused |= 0x08;
          if (layout < 0x0240) unused |= 0x30;
          ASSERT_EQ(now, was & ~unused) << "at 0x" << std::hex << at;
        } else if (at == 0x32 && layout >= 0x0108 && layout < 0x0111) {
          // P32 of profile 0 keeps its percentage; below 25 it becomes 32.
          const std::uint32_t percent = OldScalePercent(was);
          if (percent < 25) {
            ASSERT_EQ(now, 32);
          } else {
            ASSERT_EQ(OldScalePercent(now), percent) << "byte " << int{was} << " -> " << int{now};
          }
        } else {
          ASSERT_EQ(now, was) << "at 0x" << std::hex << at;
        }
      }

      // What one round trip changed, a second one keeps.
      const Image once = set.image;
      VariableSet again;
      again.SetDefaults();
      again.image = once;
      again.ReadFromImage(layout);
      again.WriteToImage(layout);
      ASSERT_EQ(again.image, once);
    }
  }
}

}  // namespace
}  // namespace ktal
