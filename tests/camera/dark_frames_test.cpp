// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/dark_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/camera/dark_reference.h"

namespace ktal {
namespace {

using Frame = std::vector<std::uint8_t>;

std::vector<const std::uint8_t*> Pointers(const std::vector<Frame>& frames) {
  std::vector<const std::uint8_t*> p;
  for (const Frame& f : frames) p.push_back(f.data());
  return p;
}

// ---- Stacking ----

struct StackCase {
  const char* name;
  std::vector<int> samples;  // one pixel's value in each frame, in frame order
  int expected;
};

TEST(DarkStack, RejectsOutliersAndRoundsTheMean) {
  const StackCase cases[] = {
      {"cosmic ray in the last frame", {10, 10, 10, 200}, 10},
      {"noise spike among scattered values", {10, 12, 11, 9, 250}, 11},
      {"cosmic ray in the first frame", {250, 10, 12, 11, 9}, 11},
      {"agreeing frames round half up", {10, 11}, 11},
      {"saturated everywhere", {255, 255, 255}, 255},
      {"black everywhere", {0, 0, 0, 0}, 0},
  };
  // 37 pixels: nine whole vectors of the fast path and one lane of a tenth.
  constexpr int kPixels = 37;
  for (const StackCase& c : cases) {
    std::vector<Frame> frames;
    for (int v : c.samples) frames.emplace_back(kPixels, static_cast<std::uint8_t>(v));
    Frame out(kPixels, 0xAB);
    EXPECT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, int(frames.size()),
                              Pointers(frames).data(), out.data(), kPixels),
              0)
        << c.name;
    EXPECT_EQ(out, Frame(kPixels, static_cast<std::uint8_t>(c.expected))) << c.name;
  }
}

TEST(DarkStack, FrameCountsBelowTwo) {
  const Frame single = {3, 200, 0, 255, 17};
  const Frame before(single.size(), 0xAB);
  struct Case {
    const char* name;
    int n;
    int code;
    Frame expected;
  } cases[] = {
      {"one frame is copied", 1, 0, single},
      {"no frame leaves the output alone", 0, 1, before},
  };
  for (const Case& c : cases) {
    const std::uint8_t* frames[] = {single.data()};
    Frame out = before;
    EXPECT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, c.n, frames, out.data(),
                              int(out.size())),
              c.code)
        << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

Frame Crop(const Frame& frame, int x0, int y0, int w, int h) {
  Frame out;
  for (int y = y0; y < y0 + h; ++y) {
    const auto row = frame.begin() + y * kFrameWidth + x0;
    out.insert(out.end(), row, row + w);
  }
  return out;
}

// The fast stack gives the reference's bytes on every tiling, thread count
// and setting.
TEST(DarkStack, SameBytesAsOnePixelAtATime) {
  struct Series {
    const char* name;
    std::vector<Frame> frames;
  };
  // The corner of the camera's darks with its hot group, hit by many
  // cosmic rays; then noise where weights fall far apart.
  std::vector<Series> series(1, {"corner of camera darks", {}});
  sim::DarkFrameOptions stormy;
  stormy.cosmicRaysPerSecond = 400;
  for (const Frame& f : testing::PreparedDarks(30, stormy)) {
    series[0].frames.push_back(Crop(f, 0, 0, 97, 61));
  }
  std::mt19937 rng(11);
  for (int n : {2, 3, 30}) {
    std::vector<Frame> frames(static_cast<std::size_t>(n), Frame(1013));
    for (Frame& f : frames) {
      for (auto& v : f) v = static_cast<std::uint8_t>(rng() % 256);
    }
    series.push_back({"uniform noise", frames});
  }
  struct Setting {
    int iterations;
    float readNoise;
    float gain;
  } settings[] = {{kStackIterations, kReadNoise, kGain},
                  {0, kReadNoise, kGain},
                  {1, 2.0f, 0.5f},
                  {12, 30.0f, 9.0f}};
  for (const Series& s : series) {
    const int pixels = int(s.frames[0].size());
    for (const Setting& set : settings) {
      Frame expected(pixels);
      ASSERT_EQ(
          reference::StackDarkFrames(set.iterations, set.readNoise, set.gain, int(s.frames.size()),
                                     Pointers(s.frames).data(), expected.data(), pixels),
          0);
      for (int threads : {1, 2, 3, 7}) {
        Frame out(pixels, 0xAB);
        ASSERT_EQ(StackDarkFramesOnThreads(threads, set.iterations, set.readNoise, set.gain,
                                           int(s.frames.size()), Pointers(s.frames).data(),
                                           out.data(), pixels),
                  0);
        EXPECT_EQ(out, expected) << s.name << ", " << s.frames.size() << " frames, "
                                 << set.iterations << " passes, " << threads << " threads";
      }
    }
  }
}

// What the dark-frame run does: 30 whole darks of the camera.
TEST(DarkStack, SameMasterDarkAsOnePixelAtATime) {
  const std::vector<Frame> darks = testing::PreparedDarks(30);
  Frame expected(kFrameBytes);
  ASSERT_EQ(reference::StackDarkFrames(kStackIterations, kReadNoise, kGain, 30,
                                       Pointers(darks).data(), expected.data(), kFrameBytes),
            0);
  Frame out(kFrameBytes);
  ASSERT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, 30, Pointers(darks).data(),
                            out.data(), kFrameBytes),
            0);
  EXPECT_TRUE(out == expected);
}

TEST(DarkStack, PreparationRemovesTheOffset) {
  const struct {
    int in;
    int out;
  } cases[] = {{0, 0}, {3, 0}, {4, 0}, {5, 1}, {255, 251}};
  for (const auto& c : cases) {
    Frame in(kFrameBytes, static_cast<std::uint8_t>(c.in));
    Frame out(kFrameBytes, 0xAB);
    PrepareDarkFrame(in.data(), out.data());
    EXPECT_EQ(out, Frame(kFrameBytes, static_cast<std::uint8_t>(c.out))) << c.in;
  }
}

// ---- Binning ----

TEST(DarkBin, SumsEachBlockAndSaturates) {
  const struct {
    int bx, by;
    int values[4];  // (2x, 2y), (2x + 1, 2y), (2x, 2y + 1), (2x + 1, 2y + 1)
    int expected;
  } cases[] = {
      {0, 0, {100, 100, 100, 100}, 255},
      {10, 20, {60, 60, 60, 60}, 240},
      {375, 290, {1, 2, 3, 4}, 10},
      {200, 7, {0, 0, 0, 255}, 255},
  };
  std::fill(std::begin(g_masterDark), std::end(g_masterDark), 0);
  for (const auto& c : cases) {
    g_masterDark[(2 * c.by) * kFrameWidth + 2 * c.bx] = std::uint8_t(c.values[0]);
    g_masterDark[(2 * c.by) * kFrameWidth + 2 * c.bx + 1] = std::uint8_t(c.values[1]);
    g_masterDark[(2 * c.by + 1) * kFrameWidth + 2 * c.bx] = std::uint8_t(c.values[2]);
    g_masterDark[(2 * c.by + 1) * kFrameWidth + 2 * c.bx + 1] = std::uint8_t(c.values[3]);
  }
  Bin2x2(3);
  for (const auto& c : cases) {
    EXPECT_EQ(g_binnedDark[c.by * kBinnedWidth + c.bx], c.expected) << c.bx << "," << c.by;
  }
  EXPECT_EQ(std::count(std::begin(g_binnedDark), std::end(g_binnedDark), 0),
            kBinnedBytes - int(std::size(cases)));
  // The three brightest blocks, listed and kept apart from later searches.
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 0);
  ASSERT_EQ(g_hotList2x2.count, 3);
  EXPECT_EQ(g_hotList2x2.x[0], 0);
  EXPECT_EQ(g_hotList2x2.y[0], 0);
  EXPECT_EQ(g_hotList2x2.x[1], 200);
  EXPECT_EQ(g_hotList2x2.x[2], 10);
}

// ---- The hot-pixel search ----

struct Pixel {
  int x, y, value;
};
struct Listed {
  int x, y, flags;
  bool operator==(const Listed&) const = default;
};

std::vector<Listed> Listing(const HotPixelList& list) {
  std::vector<Listed> out;
  for (int k = 0; k < list.count; ++k) out.push_back({list.x[k], list.y[k], list.flags[k]});
  return out;
}

std::string Show(const std::vector<Listed>& list) {
  std::string s;
  for (const Listed& e : list) {
    s += '(' + std::to_string(e.x) + ',' + std::to_string(e.y) + " f" + std::to_string(e.flags) +
         ')';
  }
  return s;
}

struct SearchCase {
  const char* name;
  int w, h;
  std::vector<Pixel> lit;  // on a black image
  int n;
  std::vector<Listed> expected;
};

TEST(HotPixelSearch, PicksFlagsAndOrders) {
  const SearchCase cases[] = {
      {"none asked", 752, 582, {{5, 5, 200}}, 0, {}},
      {"black frame: first in storage order", 752, 582, {}, 3, {{0, 0, 2}, {1, 0, 2}, {2, 0, 10}}},
      {"side by side in a row",
       752,
       582,
       {{100, 50, 200}, {101, 50, 150}},
       2,
       {{100, 50, 7}, {101, 50, 11}}},
      {"one above the other",
       752,
       582,
       {{300, 9, 90}, {300, 10, 80}},
       2,
       {{300, 9, 13}, {300, 10, 14}}},
      {"corner with hot neighbours",
       752,
       582,
       {{0, 0, 250}, {1, 0, 200}, {0, 1, 180}},
       3,
       {{0, 0, 0}, {1, 0, 2 | 8}, {0, 1, 2 | 8}}},
      {"far corner", 752, 582, {{751, 581, 99}}, 1, {{751, 581, 1 | 4}}},
      {"within a row the brighter first, rows top down",
       752,
       582,
       {{20, 10, 100}, {600, 10, 200}, {5, 300, 250}},
       3,
       {{600, 10, 15}, {20, 10, 15}, {5, 300, 15}}},
      {"equal values in storage order",
       752,
       582,
       {{700, 3, 50}, {10, 4, 50}, {9, 3, 50}},
       2,
       {{9, 3, 15}, {700, 3, 15}}},
      {"more asked than the image holds",
       3,
       2,
       {{2, 1, 9}},
       10,
       {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}, {1, 1, 0}}},
  };
  for (const SearchCase& c : cases) {
    Frame image(static_cast<std::size_t>(c.w) * c.h, 0);
    for (const Pixel& p : c.lit) image[p.y * c.w + p.x] = std::uint8_t(p.value);
    g_hotList.count = 99;
    FindHotPixels(image.data(), c.w, c.h, c.n);
    EXPECT_EQ(Show(Listing(g_hotList)), Show(c.expected)) << c.name;
  }
}

TEST(HotPixelSearch, NeverListsMoreThanTheCameraHolds) {
  Frame image(kFrameBytes, 1);
  FindHotPixels(image.data(), kFrameWidth, kFrameHeight, kMaxHotPixels + 20);
  EXPECT_EQ(g_hotList.count, kMaxHotPixels);
}

// The search gives the list of n full scans, ties in storage order
// included, on images full of ties and on a camera's master dark.
TEST(HotPixelSearch, SameListAsFullScans) {
  std::mt19937 rng(3);
  struct Image {
    std::string name;
    int w, h;
    Frame pixels;
    std::vector<int> counts;
  };
  std::vector<int> every(kMaxHotPixels + 1);
  for (int n = 0; n <= kMaxHotPixels; ++n) every[n] = n;
  std::vector<Image> images;
  for (int k = 0; k < 12; ++k) {
    const int w = 5 + int(rng() % 60), h = 10 + int(rng() % 40);
    const int range = 1 + int(rng() % 6);  // few values: ties everywhere
    Frame f(static_cast<std::size_t>(w) * h);
    for (auto& v : f) v = std::uint8_t(rng() % range * 40);
    images.push_back({"random " + std::to_string(k), w, h, f, every});
  }
  const Frame master = testing::MakeMasterDark(8);
  std::copy(master.begin(), master.end(), g_masterDark);
  Bin2x2(0);
  images.push_back({"master dark", kFrameWidth, kFrameHeight, master, {1, 17, 50}});
  images.push_back({"binned master dark",
                    kBinnedWidth,
                    kBinnedHeight,
                    Frame(std::begin(g_binnedDark), std::end(g_binnedDark)),
                    {1, 30, 50}});
  for (const Image& image : images) {
    for (int n : image.counts) {
      const HotPixelList expected =
          reference::FindHotPixels(image.pixels.data(), image.w, image.h, n);
      FindHotPixels(image.pixels.data(), image.w, image.h, n);
      ASSERT_EQ(Show(Listing(g_hotList)), Show(Listing(expected))) << image.name << ", n " << n;
    }
  }
}

// ---- Cosmetizing, display reduction, classes ----

TEST(Cosmetize, ReplacesEachListedPixelByItsUsableNeighbours) {
  const struct {
    const char* name;
    Pixel hot;
    std::vector<Pixel> neighbours;
    int expected;
  } cases[] = {
      {"three neighbours (top edge)", {5, 0, 200}, {{4, 0, 10}, {6, 0, 11}, {5, 1, 12}}, 11},
      {"two neighbours, a half rounds up", {0, 0, 200}, {{1, 0, 10}, {0, 1, 11}}, 11},
      {"four neighbours, rounds down",
       {40, 40, 200},
       {{40, 39, 10}, {39, 40, 10}, {41, 40, 10}, {40, 41, 11}},
       10},
  };
  for (const auto& c : cases) {
    Frame image(kFrameBytes, 0);
    image[c.hot.y * kFrameWidth + c.hot.x] = std::uint8_t(c.hot.value);
    for (const Pixel& p : c.neighbours) image[p.y * kFrameWidth + p.x] = std::uint8_t(p.value);
    FindHotPixels(image.data(), kFrameWidth, kFrameHeight, 1);
    Frame out(kFrameBytes, 0xAB);
    CosmetizeFrame(image.data(), out.data(), kFrameWidth, kFrameHeight);
    Frame expected = image;
    expected[c.hot.y * kFrameWidth + c.hot.x] = std::uint8_t(c.expected);
    EXPECT_EQ(out, expected) << c.name;
  }
}

// A hot pixel in the corner whose two neighbours are hot as well cannot be
// hidden: the camera keeps it, the statistics count it as grouped.
TEST(Cosmetize, CornerGroupKeepsItsValue) {
  Frame image(kFrameBytes, 3);
  image[0] = 250;
  image[1] = 200;
  image[kFrameWidth] = 180;
  FindHotPixels(image.data(), kFrameWidth, kFrameHeight, 3);
  Frame out(kFrameBytes);
  CosmetizeFrame(image.data(), out.data(), kFrameWidth, kFrameHeight);
  EXPECT_EQ(out[0], 250);
  EXPECT_EQ(out[1], 3);            // from (2, 0) and (1, 1)
  EXPECT_EQ(out[kFrameWidth], 3);  // from (1, 1) and (0, 2)
  ASSERT_EQ(g_hotList.x[0] + g_hotList.y[0], 0);
  const HotPixelEntry corner{0, 0, std::uint8_t(g_hotList.flags[0])};
  EXPECT_EQ(ClassifyHotPixel(corner), 2);
}

TEST(Cosmetize, ListFromALargerImageStaysInside) {
  Frame image(kFrameBytes, 0);
  image[500 * kFrameWidth + 700] = 255;
  FindHotPixels(image.data(), kFrameWidth, kFrameHeight, 1);
  const Frame small(kBinnedBytes, 7);
  Frame out(kBinnedBytes + 1, 0xAB);
  CosmetizeFrame(small.data(), out.data(), kBinnedWidth, kBinnedHeight);
  Frame expected = small;
  expected.push_back(0xAB);
  EXPECT_EQ(out, expected);
}

TEST(DisplayReduction, KeepsTheBrightestOfEachBlock) {
  // A lone bright pixel at each place of the block (10, 20).
  const struct { int dx, dy; } places[] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
  for (const auto& p : places) {
    Frame image(kFrameBytes, 5);
    image[(40 + p.dy) * kFrameWidth + 20 + p.dx] = 90;
    EXPECT_EQ(MaxReduce2x2(image.data(), 10, 20), 90) << p.dx << "," << p.dy;
    EXPECT_EQ(MaxReduce2x2(image.data(), 11, 20), 5);
  }
  std::mt19937 rng(8);
  Frame image(kFrameBytes);
  for (auto& v : image) v = std::uint8_t(rng());
  Frame reduced(kBinnedBytes);
  MaxReduceFrame(image.data(), reduced.data());
  for (int y = 0; y < kBinnedHeight; ++y) {
    for (int x = 0; x < kBinnedWidth; ++x) {
      ASSERT_EQ(reduced[y * kBinnedWidth + x], MaxReduce2x2(image.data(), x, y)) << x << "," << y;
    }
  }
}

TEST(HotPixelClass, CountsUsableAndBorderSides) {
  const struct {
    HotPixelEntry entry;
    int expected;
  } cases[] = {
      {{100, 100, 15}, 4}, {{100, 100, 0}, 0}, {{100, 100, 1 | 8}, 2}, {{100, 100, 2 | 4 | 8}, 3},
      {{0, 0, 0}, 2},      {{0, 0, 2 | 8}, 4}, {{751, 581, 0}, 2},     {{751, 300, 1 | 2 | 4}, 4},
      {{300, 581, 8}, 2},  {{0, 581, 1}, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyHotPixel(c.entry), c.expected)
        << c.entry.x << "," << c.entry.y << " flags " << int(c.entry.flags);
  }
}

}  // namespace
}  // namespace ktal
