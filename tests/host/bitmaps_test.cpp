// TheManager's bitmaps: creation limits, CopyImage placement, output codes, display counting.

#include "host/standalone/bitmaps.h"

#include <gmock/gmock.h>

#include <tuple>
#include <vector>

#include "host/standalone/wide_text.h"
#include "host_fixture.h"

namespace {

using paravelle::host_test::BitmapPtr;
using paravelle::host_test::make_bitmap;

float red(Bitmap& bitmap, int x, int y) {
  BMM_Color_fl colour;
  EXPECT_TRUE(bitmap.Storage()->GetPixel(x, y, colour));
  return colour.r;
}

// A source whose pixel (x, y) has red 10 * y + x + 1.
BitmapPtr numbered(int width, int height) {
  BitmapPtr source = make_bitmap(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) source->Storage()->PutPixel(x, y, {static_cast<float>(10 * y + x + 1), 0, 0, 1});
  return source;
}

int copy(Bitmap& destination, Bitmap& source, int x, int y, int width = 0, int height = 0) {
  BitmapInfo placement;
  placement.SetCustomFlag(0x0A);
  placement.SetCustomX(x);
  placement.SetCustomY(y);
  placement.SetCustWidth(width);
  placement.SetCustHeight(height);
  return destination.Storage()->CopyImage(&source, COPY_IMAGE_CUSTOM_POSITION, {-1, -1, -1, -1}, &placement);
}

TEST(Bitmaps, CreateGivesNullForSizesItCannotMake) {
  const auto live = paravelle::host::standalone::live_bitmap_count();
  EXPECT_EQ(make_bitmap(0, 10), nullptr);
  EXPECT_EQ(make_bitmap(10, -1), nullptr);
  EXPECT_EQ(make_bitmap(1 << 15, 1 << 15), nullptr);
  EXPECT_EQ(TheManager->Create(nullptr), nullptr);
  BitmapPtr bitmap = make_bitmap(3, 2);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(bitmap->Width(), 3);
  EXPECT_EQ(bitmap->Storage()->Height(), 2);
  BMM_Color_fl colour{1, 1, 1, 1};
  EXPECT_TRUE(bitmap->Storage()->GetPixel(2, 1, colour));
  EXPECT_EQ(colour.a, 0.0f) << "a new bitmap is transparent black";
  EXPECT_FALSE(bitmap->Storage()->GetPixel(3, 0, colour));
  EXPECT_FALSE(bitmap->Storage()->PutPixel(-1, 0, colour));
  EXPECT_EQ(paravelle::host::standalone::live_bitmap_count(), live + 1);
  bitmap.reset();
  EXPECT_EQ(paravelle::host::standalone::live_bitmap_count(), live);
}

TEST(Bitmaps, LinearPixelsReadSpansOfOneRowOnlyWhenInside) {
  BitmapPtr source = numbered(3, 2);
  BitmapStorage& storage = *source->Storage();
  BMM_Color_fl line[4] = {};
  ASSERT_EQ(storage.GetLinearPixels(0, 1, 3, line), 1);
  EXPECT_EQ((std::vector<float>{line[0].r, line[1].r, line[2].r}), (std::vector<float>{11, 12, 13}));
  ASSERT_EQ(storage.GetLinearPixels(2, 0, 1, line), 1);
  EXPECT_EQ(line[0].r, 3);
  EXPECT_EQ(line[0].a, 1);
  line[0].r = -1;
  for (const auto& [x, y, count] : {std::tuple{1, 0, 3}, {0, 2, 1}, {-1, 0, 1}, {0, -1, 1}, {3, 0, 0}, {0, 0, -1}}) {
    EXPECT_EQ(storage.GetLinearPixels(x, y, count, line), 0) << x << "," << y << " count " << count;
  }
  EXPECT_EQ(storage.GetLinearPixels(0, 0, 1, nullptr), 0);
  EXPECT_EQ(line[0].r, -1) << "a refused span reads nothing";
}

TEST(Bitmaps, CopyImagePlacesFillsAndClips) {
  BitmapPtr source = numbered(2, 2);
  BitmapPtr destination = make_bitmap(4, 3);
  ASSERT_EQ(copy(*destination, *source, 1, 1), 1);
  EXPECT_EQ(red(*destination, 0, 0), -1.0f);
  EXPECT_EQ(red(*destination, 1, 1), 1.0f);
  EXPECT_EQ(red(*destination, 2, 1), 2.0f);
  EXPECT_EQ(red(*destination, 1, 2), 11.0f);
  EXPECT_EQ(red(*destination, 2, 2), 12.0f);
  EXPECT_EQ(red(*destination, 3, 2), -1.0f);

  // Negative offsets and overhangs drop what falls outside.
  ASSERT_EQ(copy(*destination, *source, -1, 2), 1);
  EXPECT_EQ(red(*destination, 0, 2), 2.0f);
  EXPECT_EQ(red(*destination, 1, 2), -1.0f);
  EXPECT_EQ(red(*destination, 0, 1), -1.0f);
  ASSERT_EQ(copy(*destination, *source, 3, 0), 1);
  EXPECT_EQ(red(*destination, 3, 0), 1.0f);
  EXPECT_EQ(red(*destination, 3, 1), 11.0f);

  // A custom size different from the source's scales nearest-neighbour.
  ASSERT_EQ(copy(*destination, *source, 0, 0, 4, 2), 1);
  EXPECT_EQ(red(*destination, 0, 0), 1.0f);
  EXPECT_EQ(red(*destination, 1, 0), 1.0f);
  EXPECT_EQ(red(*destination, 2, 1), 12.0f);
  EXPECT_EQ(red(*destination, 3, 2), -1.0f);

  BitmapInfo placement;
  EXPECT_EQ(destination->Storage()->CopyImage(source.get(), 1, {}, &placement), 0);
  EXPECT_EQ(destination->Storage()->CopyImage(source.get(), COPY_IMAGE_CUSTOM_POSITION, {}, nullptr), 0);
}

TEST(Bitmaps, OutputCodesPerCall) {
  paravelle::host_test::ScratchFolder folder;
  BitmapPtr bitmap = numbered(4, 2);
  BitmapInfo info;
  info.SetWidth(4);
  info.SetHeight(2);
  EXPECT_EQ(bitmap->Write(&info), BMMRES_NOT_OPEN);
  EXPECT_EQ(bitmap->Close(&info), BMMRES_NOT_OPEN);
  EXPECT_EQ(bitmap->OpenOutput(&info), BMMRES_NOT_WRITABLE) << "no name";
  info.SetName(paravelle::host_test::ScratchFolder::wide((folder.path() / "missing" / "a.exr").string()).c_str());
  EXPECT_EQ(bitmap->OpenOutput(&info), BMMRES_FOLDER_MISSING);
  info.SetName(paravelle::host_test::ScratchFolder::wide((folder.path() / "a.nosuchformat").string()).c_str());
  EXPECT_EQ(bitmap->OpenOutput(&info), BMMRES_UNKNOWN_FORMAT);
  const auto file = folder.path() / "a.exr";
  info.SetName(paravelle::host_test::ScratchFolder::wide(file.string()).c_str());
  info.SetFlags(MAP_HAS_ALPHA);
  ASSERT_EQ(bitmap->OpenOutput(&info), BMMRES_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(file)) << "opening creates nothing";
  EXPECT_EQ(bitmap->Write(&info, BMM_SINGLEFRAME), BMMRES_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(bitmap->Close(&info), BMMRES_SUCCESS);
  EXPECT_EQ(bitmap->Write(&info), BMMRES_NOT_OPEN);
}

// The caller gets only a code; why the writer failed goes to the host's log in its words.
TEST(Bitmaps, AFailedWriteLogsItsCause) {
  paravelle::host_test::ScratchFolder folder;
  BitmapPtr bitmap = numbered(4, 2);
  BitmapInfo info;
  info.SetWidth(4);
  info.SetHeight(2);
  const auto gone = folder.path() / "gone \u00e9t\u00e9";
  std::filesystem::create_directory(gone);
  // A name outside ASCII must reach the log intact.
  info.SetName(paravelle::host::standalone::wide_text::from_utf8((gone / "a.png").string()).c_str());
  ASSERT_EQ(bitmap->OpenOutput(&info), BMMRES_SUCCESS);
  std::filesystem::remove(gone);
  auto& host = paravelle::host::standalone::standalone_interface();
  host.clear_log_records();
  EXPECT_EQ(bitmap->Write(&info, BMM_SINGLEFRAME), BMMRES_FOLDER_MISSING);
  const auto records = host.log_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, SYSLOG_ERROR);
  EXPECT_EQ(records[0].title, L"Bitmap output");
  const std::wstring folder_name = paravelle::host::standalone::wide_text::from_utf8(gone.string());
  EXPECT_EQ(records[0].text,
            L"cannot write " + folder_name + L"/a.png: the folder " + folder_name + L": No such file or directory");
  bitmap->Close(&info);
}

TEST(Bitmaps, DisplayIsCounted) {
  paravelle::host::standalone::reset_display_counters();
  const auto shown = paravelle::host::standalone::display_counters().shown_now;
  BitmapPtr first = make_bitmap(2, 2);
  BitmapPtr second = make_bitmap(2, 2);
  first->Display();
  first->Display();
  second->Display(nullptr, BMM_CENTRE_POSITION, 0, 1);
  EXPECT_EQ(paravelle::host::standalone::display_counters().shown_now, shown + 2);
  EXPECT_EQ(paravelle::host::standalone::display_counters().display_calls, 3);
  first->UnDisplay();
  EXPECT_EQ(paravelle::host::standalone::display_counters().shown_now, shown + 1);
  second.reset();
  EXPECT_EQ(paravelle::host::standalone::display_counters().shown_now, shown) << "deleting a shown bitmap hides it";
  EXPECT_EQ(paravelle::host::standalone::display_counters().undisplay_calls, 1);
}

}  // namespace
