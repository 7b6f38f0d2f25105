#include <gmock/gmock.h>

#include <cmath>

#include "dispatcher_fixture.h"

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;

TEST_F(DispatcherTest, JpegOutputTakesExactlyOnePath) {
  EXPECT_THAT(dispatch(L"UseJpegOutput,D:/jpg/"), ElementsAre());
  EXPECT_TRUE(state.useJpegOutput);
  EXPECT_EQ(state.jpegOutputPath, L"D:/jpg/");
  EXPECT_THAT(dispatch(L"UseJpegOutput"), ElementsAre());
  EXPECT_FALSE(state.useJpegOutput);
  EXPECT_TRUE(log.contains_line("UseJpegOutput: requires 1 parameters, got 0, setting to false"));
}

TEST_F(DispatcherTest, BlackFrameLimitsAreClampedAndBadValuesSwitchTheTestOff) {
  EXPECT_THAT(dispatch(L"FailOnBlackFrames,150,0.5"), ElementsAre());
  EXPECT_TRUE(state.failOnBlackFrames);
  EXPECT_EQ(state.blackPixelPercentage, 100);
  EXPECT_EQ(state.blackPixelThreshold, 0.5f);

  dispatch(L"FailOnBlackFrames,-5,2");
  EXPECT_EQ(state.blackPixelPercentage, 0);
  EXPECT_EQ(state.blackPixelThreshold, 1.0f);

  dispatch(L"FailOnBlackFrames,abc,0.2");
  EXPECT_FALSE(state.failOnBlackFrames);
  EXPECT_EQ(state.blackPixelThreshold, 0.2f);
  EXPECT_TRUE(log.contains_line("FailOnBlackFrames: Parameter 1, \"abc\", is not a valid percentage."));

  dispatch(L"FailOnBlackFrames,40,nan");
  EXPECT_FALSE(state.failOnBlackFrames);
  EXPECT_EQ(state.blackPixelPercentage, 40);
  EXPECT_FALSE(std::isnan(state.blackPixelThreshold));
  EXPECT_TRUE(log.contains_line("FailOnBlackFrames: Parameter 2, \"nan\", is not a valid threshold."));

  EXPECT_THAT(dispatch(L"FailOnBlackFrames,40"), ElementsAre());
  EXPECT_TRUE(log.contains_line("FailOnBlackFrames: requires 2 parameters, got 1, setting to false"));
}

TEST_F(DispatcherTest, SaveFileOverrideTakesZeroOrOne) {
  EXPECT_THAT(dispatch(L"OverrideSaveFile,1"), ElementsAre());
  EXPECT_TRUE(state.overrideSaveFile);
  EXPECT_TRUE(state.saveFile);
  EXPECT_THAT(log.lines(), ::testing::Contains("Overriding save file option to 1"));

  dispatch(L"OverrideSaveFile,+00");
  EXPECT_TRUE(state.overrideSaveFile);
  EXPECT_FALSE(state.saveFile);

  EXPECT_THAT(dispatch(L"OverrideSaveFile,true"),
              ElementsAre("ERROR: OverrideSaveFile: Parameter 1, \"true\", is not a valid value (0 or 1)."));
  EXPECT_FALSE(state.overrideSaveFile);

  dispatch(L"OverrideSaveFile,1");
  EXPECT_THAT(dispatch(L"OverrideSaveFile,1,0"), ElementsAre());
  EXPECT_FALSE(state.overrideSaveFile);
  EXPECT_FALSE(state.saveFile);
  EXPECT_TRUE(log.contains_line("OverrideSaveFile: requires 1 parameters, got 2, setting to false"));
}

TEST_F(DispatcherTest, OutputNamesAreKeptAsReceived) {
  dispatch(L"OutputImageFilename,C:/out/beauty.exr");
  EXPECT_TRUE(state.useOutputImageFilename);
  EXPECT_EQ(state.outputImageFilename, L"C:/out/beauty.exr");
  EXPECT_THAT(log.lines(),
              ::testing::IsSupersetOf({"Setting output image filename", "Saving output to C:/out/beauty.exr"}));
  dispatch(L"OutputImageFilename");
  EXPECT_FALSE(state.useOutputImageFilename);
  EXPECT_EQ(state.outputImageFilename, L"C:/out/beauty.exr");
}

TEST_F(DispatcherTest, RenderElementNamesReplaceInsideTheListAndAppendBeyondIt) {
  EXPECT_THAT(dispatch(L"OutputImageReFilename,3,C:/out/z.exr"), ElementsAre());
  EXPECT_THAT(state.renderElementFilenames, ElementsAre(L"C:/out/z.exr"));
  EXPECT_TRUE(state.useRenderElementFilenames);
  EXPECT_TRUE(log.contains_line("Saving render element 3 output to C:/out/z.exr"));

  dispatch(L"OutputImageReFilename,-1,a.exr");
  dispatch(L"OutputImageReFilename,0,b.exr");
  EXPECT_THAT(state.renderElementFilenames, ElementsAre(L"b.exr", L"a.exr"));

  EXPECT_THAT(dispatch(L"OutputImageReFilename,x,c.exr"),
              ElementsAre("ERROR: OutputImageReFilename: Parameter 1 , \"x\", is not a valid index."));
  EXPECT_THAT(dispatch(L"OutputImageReFilename,1"), ElementsAre());
  EXPECT_FALSE(state.useRenderElementFilenames);
  EXPECT_EQ(state.renderElementFilenames.size(), 2u);
}

TEST_F(DispatcherTest, GammaNeedsTwoValidValues) {
  EXPECT_THAT(dispatch(L"GammaCorrection,2.2"), ElementsAre());
  EXPECT_FALSE(state.gammaCorrection);
  EXPECT_TRUE(log.contains_line("GammaCorrection: requires 2 parameters, got 1, setting to false"));

  EXPECT_THAT(dispatch(L"GammaCorrection,x,2.2"),
              ElementsAre("ERROR: GammaCorrection: Parameter 1, \"x\", is not a valid gamma value."));
  EXPECT_EQ(state.gammaIn, 1.0f);
  EXPECT_THAT(dispatch(L"GammaCorrection,1.8,y"),
              ElementsAre("ERROR: GammaCorrection: Parameter 2, \"y\", is not a valid gamma value."));
  EXPECT_EQ(state.gammaIn, 1.8f);
  EXPECT_FALSE(state.gammaCorrection);

  EXPECT_THAT(dispatch(L"GammaCorrection,2.2,1"), ElementsAre());
  EXPECT_TRUE(state.gammaCorrection);
  EXPECT_THAT(log.lines(), ::testing::IsSupersetOf({"Enabling gamma correction", "Gamma in: 2.2", "Gamma out: 1"}));
}

// A gamma that would reach the host as nonsense is refused and changes nothing: neither
// the values nor the switch of an earlier, good setting.
TEST_F(DispatcherTest, GammaThatIsNotAFinitePositiveNumberIsRefused) {
  dispatch(L"GammaCorrection,1.8,2.4");
  const struct {
    const wchar_t* command;
    const char* reply;
  } cases[] = {
      {L"GammaCorrection,nan,2.2", "Parameter 1, \"nan\""},   {L"GammaCorrection,inf,2.2", "Parameter 1, \"inf\""},
      {L"GammaCorrection,0,2.2", "Parameter 1, \"0\""},       {L"GammaCorrection,-2.2,2.2", "Parameter 1, \"-2.2\""},
      {L"GammaCorrection,2.2,-inf", "Parameter 2, \"-inf\""}, {L"GammaCorrection,2.2,0.0", "Parameter 2, \"0.0\""},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(dispatch(c.command),
                ElementsAre(std::string("ERROR: GammaCorrection: ") + c.reply +
                            ", is not a usable gamma value: it must be a finite number greater than 0."));
    EXPECT_TRUE(state.gammaCorrection);
    EXPECT_EQ(state.gammaIn, 1.8f);
    EXPECT_EQ(state.gammaOut, 2.4f);
  }
  EXPECT_THAT(dispatch(L"GammaCorrection,1e-30,3.4e38"), ElementsAre());
  EXPECT_EQ(state.gammaIn, 1e-30f);
}

TEST_F(DispatcherTest, PathConfigurationAndIgnoredElements) {
  dispatch(L"PathConfigFile,C:/proj/paths.mxp");
  EXPECT_TRUE(state.usePathConfigFile);
  EXPECT_EQ(state.pathConfigFile, L"C:/proj/paths.mxp");
  EXPECT_TRUE(log.contains_line("Using alternate path config file C:/proj/paths.mxp"));
  dispatch(L"PathConfigFile,a,b");
  EXPECT_FALSE(state.usePathConfigFile);

  EXPECT_THAT(dispatch(L"IgnoreRenderElementsByName,Reflection,Refraction"), ElementsAre());
  dispatch(L"IgnoreRenderElementsByName,Reflection");
  EXPECT_THAT(state.ignoredRenderElementNames, ElementsAre(L"Reflection", L"Refraction", L"Reflection"));
  dispatch(L"IgnoreRenderElementsByName");
  EXPECT_TRUE(log.contains_line("IgnoreRenderElementsByName: did not specify any render elements to skip"));
}

}  // namespace
}  // namespace paravelle::daemon
