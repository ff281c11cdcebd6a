#include "core/window_size.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using window_size::Placement;
using window_size::Rect;
using window_size::Size;

// A frame of 16 by 39 pixels (borders and caption of a 96-DPI window).
const Size kFrame = {16, 39};

struct SizeCase {
  const char* name;
  int dpi;
  Size work;
  Size expected;
};

TEST(WindowSizeTest, ClientSizeScalesAndShrinksKeeping5To3) {
  const SizeCase cases[] = {
      {"96 unchanged", 96, {1920, 1040}, {1000, 600}},
      {"120 (125 %)", 120, {1920, 1040}, {1250, 750}},
      {"144 (150 %)", 144, {1920, 1040}, {1500, 900}},
      {"192 (200 %)", 192, {3840, 2120}, {2000, 1200}},
      {"unknown DPI counts as 96", 0, {1920, 1040}, {1000, 600}},
      {"fits exactly with its frame", 144, {1516, 939}, {1500, 900}},
      {"one pixel too narrow", 144, {1515, 939}, {1495, 897}},
      {"144 on a 1280x1024 screen: width binds", 144, {1280, 1024}, {1260, 756}},
      {"192 on a wide, low work area: height binds", 192, {2560, 1040}, {1665, 999}},
      {"96 on a netbook's 1024x600", 96, {1024, 600}, {935, 561}},
      {"a work area smaller than the frame", 96, {200, 50}, {100, 60}},
  };
  for (const SizeCase& c : cases) {
    const Size got = window_size::ClientSize(c.dpi, kFrame, c.work);
    EXPECT_EQ(got.width, c.expected.width) << c.name;
    EXPECT_EQ(got.height, c.expected.height) << c.name;
  }
}

TEST(WindowSizeTest, MoveIntoKeepsSizeAndTopLeftInside) {
  const Rect work = {0, 0, 1280, 1000};
  struct {
    const char* name;
    Rect window;
    Rect expected;
  } cases[] = {
      {"inside stays", {100, 50, 1116, 689}, {100, 50, 1116, 689}},
      {"over the bottom right moves back", {400, 300, 1416, 939}, {264, 300, 1280, 939}},
      {"above and left moves in", {-50, -20, 966, 619}, {0, 0, 1016, 639}},
      {"larger than the work area: top-left inside", {10, 10, 1510, 1110}, {0, 0, 1500, 1100}},
  };
  for (const auto& c : cases) {
    const Rect got = window_size::MoveInto(c.window, work);
    EXPECT_EQ(got.left, c.expected.left) << c.name;
    EXPECT_EQ(got.top, c.expected.top) << c.name;
    EXPECT_EQ(got.right, c.expected.right) << c.name;
    EXPECT_EQ(got.bottom, c.expected.bottom) << c.name;
  }
}

TEST(WindowSizeTest, RestoreOnlyWhatThePlayerCanReach) {
  const std::vector<Rect> one = {{0, 0, 1920, 1080}};
  // A second monitor left of the primary one.
  const std::vector<Rect> two = {{0, 0, 1920, 1080}, {-1280, 56, 0, 1080}};
  struct {
    const char* name;
    Rect saved;
    const std::vector<Rect>& monitors;
    bool expected;
  } cases[] = {
      {"on the monitor", {100, 100, 1116, 739}, one, true},
      {"partly on, hanging off the right", {1800, 900, 2816, 1539}, one, true},
      {"on the second monitor", {-1200, 100, -184, 739}, two, true},
      {"off every monitor: the second one is gone", {-1200, 100, -184, 739}, one, false},
      {"touching the edge only", {1920, 0, 2936, 639}, one, false},
      {"above the top", {100, -700, 1116, -61}, two, false},
      {"one pixel on the monitor", {-1399, -899, 1, 1}, one, false},
      {"caption below the bottom", {100, 1060, 1116, 1699}, one, false},
      {"caption reachable by 99 pixels", {-917, 100, 99, 739}, one, false},
      {"larger than any work area", {0, 0, 2500, 1500}, two, false},
      {"1 by 1", {0, 0, 1, 1}, one, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(window_size::ShouldRestore(c.saved, c.monitors), c.expected) << c.name;
  }
  EXPECT_FALSE(window_size::ShouldRestore({0, 0, 100, 100}, {})) << "no monitor";
}

TEST(WindowSizeTest, PlacementLineRoundTripsAndRejectsOtherText) {
  Placement kept;
  kept.normal = {-1200, 56, -184, 695};
  kept.fullscreen = true;
  const std::string line = window_size::FormatPlacement(kept);
  EXPECT_EQ(line, "left=-1200 top=56 right=-184 bottom=695 maximized=0 fullscreen=1");
  Placement read;
  ASSERT_TRUE(window_size::ParsePlacement(line + "\r\n", &read));
  EXPECT_EQ(read.normal.left, -1200);
  EXPECT_EQ(read.normal.bottom, 695);
  EXPECT_FALSE(read.maximized);
  EXPECT_TRUE(read.fullscreen);

  const char* rejected[] = {
      "",
      "top=2 left=1 right=300 bottom=400 maximized=0 fullscreen=0",
      "left=1 top=2 right=300 bottom=400 maximized=2 fullscreen=0",
      "left=1 top=2 right=1 bottom=400 maximized=0 fullscreen=0",
      "left=1 top=2 right=300 bottom=400000 maximized=0 fullscreen=0",
      "left=99999999999 top=2 right=300 bottom=400 maximized=0 fullscreen=0",
      "left=1  top=2 right=300 bottom=400 maximized=0 fullscreen=0",
  };
  for (const char* text : rejected) {
    Placement untouched;
    untouched.normal.left = 7;
    EXPECT_FALSE(window_size::ParsePlacement(text, &untouched)) << text;
    EXPECT_EQ(untouched.normal.left, 7) << text;
  }
}

}  // namespace
