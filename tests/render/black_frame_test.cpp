#include "render/black_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "render/render_fixture.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using testing::FarmLines;
using testing::filled_bitmap;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// An image of any size that holds one colour without the memory for it, and counts how
// the test reads it.
class UniformStorage : public BitmapStorage {
 public:
  UniformStorage(int width, int height, BMM_Color_fl colour) : width_(width), height_(height), colour_(colour) {}
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool GetPixel(int, int, BMM_Color_fl& colour) const override {
    ++pixelReads;
    colour = colour_;
    return true;
  }
  bool PutPixel(int, int, const BMM_Color_fl&) override { return false; }
  int GetLinearPixels(int x, int y, int pixels, BMM_Color_fl* line) const override {
    ++rowReads;
    if (x != 0 || y < 0 || y >= height_ || pixels != width_) return 0;
    std::fill_n(line, pixels, colour_);
    return 1;
  }
  int CopyImage(Bitmap*, int, const BMM_Color_fl&, BitmapInfo*) override { return 0; }

  mutable long long pixelReads = 0;
  mutable long long rowReads = 0;

 private:
  int width_, height_;
  BMM_Color_fl colour_;
};

class StorageBitmap : public Bitmap {
 public:
  explicit StorageBitmap(BitmapStorage* storage) : storage_(storage) {}
  int Width() const override { return storage_ ? storage_->Width() : 0; }
  int Height() const override { return storage_ ? storage_->Height() : 0; }
  BitmapStorage* Storage() override { return storage_; }
  void PrepareGChannels(BitmapInfo*) override {}
  int OpenOutput(BitmapInfo*) override { return BMMRES_NOT_WRITABLE; }
  int Write(BitmapInfo*, int) override { return BMMRES_NOT_OPEN; }
  int Close(BitmapInfo*, int) override { return BMMRES_NOT_OPEN; }
  int Display(const wchar_t*, int, BOOL, BOOL, void*, Bitmap*) override { return 0; }
  int UnDisplay() override { return 0; }
  void DeleteThis() override {}

 private:
  BitmapStorage* storage_;
};

class BlackFrameTest : public ::testing::Test {
 protected:
  // The farm's lines of one test; the text of its failure, or "passed".
  std::string check(Bitmap* bitmap, int percentage, float threshold) {
    state.blackPixelPercentage = percentage;
    state.blackPixelThreshold = threshold;
    try {
      CheckBlackFrame(state, bitmap, farm.connection);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "passed";
  }

  FarmLines farm;
  job::JobState state;
};

TEST_F(BlackFrameTest, DarkColourWithTransparentOrOpaqueAlphaIsBlack) {
  const struct {
    BMM_Color_fl colour;
    float threshold;
    bool black;
  } cases[] = {
      {{0.05f, 0.05f, 0.05f, 1.0f}, 0.1f, true}, {{0.05f, 0.2f, 0.05f, 1.0f}, 0.1f, false},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.1f, false},  // half transparent
      {{0.1f, 0.1f, 0.1f, 0.0f}, 0.1f, true},   // at the threshold counts
      {{0.0f, 0.0f, 0.0f, 0.9f}, 0.1f, true},   // 1 - 0.1 in single precision
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.5f, true},   // at 0.5 every alpha counts
      {{0.5f, 0.5f, 0.5f, 0.3f}, 0.5f, true},    {{0.51f, 0.0f, 0.0f, 1.0f}, 0.5f, false},
      {{0.0f, 0.0f, 0.0f, 1.0f}, 0.0f, true},    {{0.0f, 0.0f, 0.0f, 0.0f}, 0.0f, true},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.0f, false},   {{0.0f, 0.0f, 1e-7f, 1.0f}, 0.0f, false},
      {{nan, 0.0f, 0.0f, 1.0f}, 0.1f, false},  // a channel that is not a number never passes
      {{0.0f, 0.0f, 0.0f, nan}, 0.5f, false},
  };
  for (const auto& c : cases) {
    const auto bitmap = filled_bitmap(5, 2, c.colour);  // four pixels at a time, and one more
    EXPECT_EQ(check(bitmap.get(), 100, c.threshold),
              c.black ? "100% of the output image is black, which equals or exceeds the minimum of 100%" : "passed")
        << c.colour.r << " " << c.colour.g << " " << c.colour.b << " " << c.colour.a << " at " << c.threshold;
  }
}

TEST_F(BlackFrameTest, TheShareIsRoundedDownAndComparedWithTheMinimum) {
  const auto bitmap = filled_bitmap(100, 100, {0, 0, 0, 1});
  bitmap->Storage()->PutPixel(42, 17, {1, 1, 1, 1});

  EXPECT_EQ(check(bitmap.get(), 100, 0.1f), "passed");
  EXPECT_THAT(farm.take(), ElementsAre("  blackPixelPercentage = 100%", "  blackPixelThreshold = 0.1",
                                       "9999 of 10000 pixels are considered black (99%)"));
  EXPECT_EQ(check(bitmap.get(), 99, 0.25f),
            "99% of the output image is black, which equals or exceeds the minimum of 99%");
  EXPECT_THAT(farm.take(), ElementsAre("  blackPixelPercentage = 99%", "  blackPixelThreshold = 0.25",
                                       "9999 of 10000 pixels are considered black (99%)",
                                       "99% of the output image is considered black, failing render..."));

  const auto white = filled_bitmap(4, 4, {1, 1, 1, 1});
  EXPECT_EQ(check(white.get(), 0, 0.1f), "0% of the output image is black, which equals or exceeds the minimum of 0%")
      << "a minimum of 0 fails every image it tests";
}

TEST_F(BlackFrameTest, ALargeBlackImageCountsInSixtyFourBitsAndIsReadARowAtATime) {
  UniformStorage storage(8192, 4096, {0, 0, 0, 1});
  StorageBitmap bitmap(&storage);
  EXPECT_EQ(check(&bitmap, 100, 0.1f),
            "100% of the output image is black, which equals or exceeds the minimum of 100%");
  EXPECT_EQ(farm.take().at(2), "33554432 of 33554432 pixels are considered black (100%)");
  EXPECT_EQ(storage.rowReads, 4096);
  EXPECT_EQ(storage.pixelReads, 0);
}

TEST_F(BlackFrameTest, AnImageWithoutPixelsIsRefusedInsteadOfDividedBy) {
  UniformStorage empty(0, 7, {0, 0, 0, 1});
  StorageBitmap emptyBitmap(&empty);
  StorageBitmap noStorage(nullptr);
  EXPECT_EQ(check(&emptyBitmap, 50, 0.1f),
            "The output image has no pixels (0x7), so it cannot be tested for black pixels");
  EXPECT_EQ(check(&noStorage, 50, 0.1f),
            "The output image has no pixels (0x0), so it cannot be tested for black pixels");
}

}  // namespace
}  // namespace paravelle::render
