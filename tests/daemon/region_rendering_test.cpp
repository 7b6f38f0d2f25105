#include <gmock/gmock.h>

#include "dispatcher_fixture.h"
#include "host/core.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

using ::testing::ElementsAre;

class RegionRenderingTest : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    output().SetRendWidth(640);
    output().SetRendHeight(480);
  }
  static Interface& output() { return *GetCOREInterface8(); }
  void expect_region(int left, int top, int right, int bottom) const {
    EXPECT_EQ(state.regionLeft, left);
    EXPECT_EQ(state.regionTop, top);
    EXPECT_EQ(state.regionRight, right);
    EXPECT_EQ(state.regionBottom, bottom);
  }
  void expect_over(int left, int top, int right, int bottom) const {
    EXPECT_EQ(state.regionLeftOver, left);
    EXPECT_EQ(state.regionTopOver, top);
    EXPECT_EQ(state.regionRightOver, right);
    EXPECT_EQ(state.regionBottomOver, bottom);
  }
};

TEST_F(RegionRenderingTest, CropAddsThePaddingInsideTheImage) {
  EXPECT_THAT(dispatch(L"RegionRendering,10,100,50,300,250,CROP"), ElementsAre());
  EXPECT_TRUE(state.regionRendering);
  EXPECT_EQ(state.regionType, 4);
  EXPECT_EQ(state.regionPadding, 10);
  expect_region(90, 40, 310, 260);
  expect_over(0, 0, 0, 0);
  EXPECT_THAT(log.lines(), ::testing::IsSupersetOf({"Left: 90, over: 0", "Top: 40, over: 0", "Right: 310, over: 0",
                                                    "Bottom: 260, over: 0"}));
}

TEST_F(RegionRenderingTest, PaddingThatDoesNotFitIsRememberedPerEdge) {
  EXPECT_THAT(dispatch(L"RegionRendering,20,0,0,640,480,NOCROP"), ElementsAre());
  EXPECT_EQ(state.regionType, 1);
  expect_region(0, 0, 640, 480);
  expect_over(20, 20, 20, 20);
  EXPECT_THAT(log.lines(),
              ::testing::IsSupersetOf({"Left less than 0: -20", "Left: 0, over: 20", "Top less than 0: -20",
                                       "Right greater than width: 660", "Right: 640, over: 20",
                                       "Bottom greater than height: 500", "Bottom: 480, over: 20"}));
}

TEST_F(RegionRenderingTest, EdgesExactlyOnTheBorderAreNotClamped) {
  dispatch(L"RegionRendering,5,5,5,635,475,CROP");
  expect_region(0, 0, 640, 480);
  expect_over(0, 0, 0, 0);
  EXPECT_FALSE(log.contains_line("Left less than 0: 0"));
}

TEST_F(RegionRenderingTest, BlowupEnlargesTheOutputAroundTheRegion) {
  EXPECT_THAT(dispatch(L"RegionRendering,0,100,0,420,240,BLOWUP"), ElementsAre());
  EXPECT_EQ(output().GetRendWidth(), 1280);
  EXPECT_EQ(output().GetRendHeight(), 960);
  EXPECT_EQ(state.regionType, 4);
  expect_region(200, 0, 840, 480);
}

TEST_F(RegionRenderingTest, BlowupWithoutAUsableScaleChangesNothingButTheRegionFlag) {
  dispatch(L"RegionRendering,3,10,20,110,120,CROP");
  const JobState before = state;
  for (const std::wstring command :
       {L"RegionRendering,7,100,0,100,240,BLOWUP", L"RegionRendering,7,100,0,90,240,BLOWUP",
        L"RegionRendering,7,2000000000,0,2000000001,240,BLOWUP"}) {
    const auto replies = dispatch(command);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_THAT(replies[0], ::testing::StartsWith("ERROR: RegionRendering: BLOWUP "));
    EXPECT_EQ(output().GetRendWidth(), 640);
    EXPECT_EQ(output().GetRendHeight(), 480);
    EXPECT_EQ(state.regionPadding, before.regionPadding);
    EXPECT_EQ(state.regionType, before.regionType);
    expect_region(before.regionLeft, before.regionTop, before.regionRight, before.regionBottom);
  }
  EXPECT_THAT(dispatch(L"RegionRendering,0,0,0,640,480,BLOWUP"), ElementsAre());
  EXPECT_EQ(output().GetRendWidth(), 640);
}

TEST_F(RegionRenderingTest, RejectedParametersSayWhichOne) {
  EXPECT_THAT(dispatch(L"RegionRendering,1,2,3"), ElementsAre("ERROR: RegionRendering: Expected 6 parameters, got 3"));
  EXPECT_TRUE(state.regionRendering);
  EXPECT_THAT(dispatch(L"RegionRendering,x,0,0,10,10,CROP"),
              ElementsAre("ERROR: RegionRendering: Parameter 1, \"x\", is not a valid value for Padding."));
  EXPECT_THAT(dispatch(L"RegionRendering,4,0,0,10,1e3,CROP"),
              ElementsAre("ERROR: RegionRendering: Parameter 5, \"1e3\", is not a valid value for Bottom."));
  EXPECT_EQ(state.regionPadding, 4);
  EXPECT_THAT(dispatch(L"RegionRendering,-5,0,0,10,10,CROP"),
              ElementsAre("ERROR: RegionRendering: Parameter 1, \"-5\", is not a valid value for Padding."));
  EXPECT_EQ(state.regionPadding, 4) << "a negative padding is not stored";
  EXPECT_THAT(dispatch(L"RegionRendering,0,0,0,10,10,crop"),
              ElementsAre("ERROR: RegionRendering: Parameter 6, \"crop\", is not CROP, NOCROP, or BLOWUP."));
  expect_region(0, 0, 0, 0);
}

TEST_F(RegionRenderingTest, ExtremeEdgesSaturateInsteadOfOverflowing) {
  dispatch(L"RegionRendering,2147483647,0,0,2147483647,10,NOCROP");
  expect_region(0, 0, 640, 480);
  EXPECT_EQ(state.regionLeftOver, 2147483647);
  EXPECT_EQ(state.regionRightOver, 2147483647);
}

}  // namespace
}  // namespace paravelle::daemon
