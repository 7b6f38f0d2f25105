// The settings, task and region commands as the farm sends them: the replies, the state they
// leave and the log lines they write.

#include <gmock/gmock.h>

#include <boost/tokenizer.hpp>

#include <cmath>

#include "daemon/command_fields.h"
#include "dispatcher_fixture.h"
#include "host/core.h"
#include "host/standalone/standalone_interface.h"

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;

struct Check {
  const char* text;
  bool (*holds)(const JobState&);
};
#define STATE(expr) \
  Check { #expr, [](const JobState& s) { return static_cast<bool>(expr); } }

struct Row {
  std::wstring command;
  Replies replies;
  Check check;
  const char* log_line = nullptr;  // a line the log holds afterwards
};

const std::string unusable = ", is not a usable gamma value: it must be a finite number greater than 0.";

// In order, on one job state: a row may rely on what the rows before it stored, and a
// refused value must leave it.
const Row rows[] = {
    {L"renderTask,1", {"ERROR: Unexpected command \"renderTask\" received."}, STATE(s.currentFrame == 0)},
    {L"caf\u00E9\u4E2D", {"ERROR: Unexpected command \"caf\xC3\xA9\xE4\xB8\xAD\" received."}, STATE(s.tempFolder.empty())},
    {L"", {"ERROR: Unexpected command \"\" received."}, STATE(s.currentTask == 0)},
    {L"CONTINUE,anything", {}, STATE(s.currentTask == 0), "Warning: ignoring CONTINUE statement"},
    {L"TempFolder,C:/farm/temp", {}, STATE(s.tempFolder == L"C:\\farm\\temp")},
    {L"TempFolder,C:\\\\farm", {}, STATE(s.tempFolder == L"C:\\farm")},
    {L"TempFolder", {"ERROR: TempFolder: Expected 1 parameter, got 0"}, STATE(s.tempFolder == L"C:\\farm")},
    {L"SlaveFolders,a/b,\"c/d,e\"", {}, STATE(s.jobsDataFolder == L"a\\b" && s.pluginsFolder == L"c\\d,e")},
    {L"SlaveFolders,a", {"ERROR: SlaveFolders: Expected 2 parameters, got 1"}, STATE(s.jobsDataFolder == L"a\\b")},
    {L"CurrentTask,+7", {}, STATE(s.currentTask == 7)},
    {L"CurrentTask,7a", {"ERROR: CurrentTask: Parameter 1 , \"7a\", is not a valid task number."},
     STATE(s.currentTask == 7)},
    {L"CurrentTask", {"ERROR: CurrentTask: Expected 1 parameter, got 0"}, STATE(s.currentTask == 7)},
    {L"FrameNumberBase,-2147483648", {}, STATE(s.frameNumberBase == -2147483647 - 1)},
    {L"FrameNumberBase,2147483648",
     {"ERROR: FrameNumberBase: Parameter 1, \"2147483648\", is not a valid value for frame number base."},
     STATE(s.frameNumberBase == -2147483647 - 1)},
    {L"FrameNumberBase,1,2", {"ERROR: FrameNumberBase: Expected 1 parameter, got 2"}, STATE(s.frameNumberBase < 0)},
    {L"RenderTask", {"ERROR: RenderTask: Expected 1 parameter, got 0"}, STATE(s.currentFrame == 0)},
    {L"RenderTask,12a", {"ERROR: RenderTask: Parameter 1 , \"12a\", is not a valid frame number."},
     STATE(s.currentFrame == 0)},
    // The frame is stored before the job check, so a script sees the task's frame.
    {L"RenderTask,+12", {"ERROR: RenderTask: Called without being in a job."}, STATE(s.currentFrame == 12)},
    {L"StartJob,a.json", {"ERROR: StartJob: Expected 2 parameters, got 1"}, STATE(!s.jobRunning)},
    {L"UseJpegOutput,D:/jpg/", {}, STATE(s.useJpegOutput && s.jpegOutputPath == L"D:/jpg/")},
    {L"UseJpegOutput", {}, STATE(!s.useJpegOutput), "UseJpegOutput: requires 1 parameters, got 0, setting to false"},
    {L"FailOnBlackFrames,150,0.5", {},
     STATE(s.failOnBlackFrames && s.blackPixelPercentage == 100 && s.blackPixelThreshold == 0.5f)},
    {L"FailOnBlackFrames,-5,2", {},
     STATE(s.failOnBlackFrames && s.blackPixelPercentage == 0 && s.blackPixelThreshold == 1.0f)},
    {L"FailOnBlackFrames,abc,0.2", {}, STATE(!s.failOnBlackFrames && s.blackPixelThreshold == 0.2f),
     "FailOnBlackFrames: Parameter 1, \"abc\", is not a valid percentage."},
    {L"FailOnBlackFrames,40,nan", {},
     STATE(!s.failOnBlackFrames && s.blackPixelPercentage == 40 && s.blackPixelThreshold == 0.2f),
     "FailOnBlackFrames: Parameter 2, \"nan\", is not a valid threshold."},
    {L"FailOnBlackFrames,40,0.3", {}, STATE(s.failOnBlackFrames)},
    {L"FailOnBlackFrames,40", {}, STATE(!s.failOnBlackFrames),
     "FailOnBlackFrames: requires 2 parameters, got 1, setting to false"},
    {L"OverrideSaveFile,+001", {}, STATE(s.overrideSaveFile && s.saveFile), "Overriding save file option to 1"},
    {L"OverrideSaveFile,-0", {}, STATE(s.overrideSaveFile && !s.saveFile), "Overriding save file option to 0"},
    {L"OverrideSaveFile,2", {"ERROR: OverrideSaveFile: Parameter 1, \"2\", is not a valid value (0 or 1)."},
     STATE(!s.overrideSaveFile && !s.saveFile)},
    {L"OverrideSaveFile,1", {}, STATE(s.overrideSaveFile)},
    {L"OverrideSaveFile,1,0", {}, STATE(!s.overrideSaveFile && !s.saveFile),
     "OverrideSaveFile: requires 1 parameters, got 2, setting to false"},
    {L"OutputImageFilename,C:/out/beauty.exr", {},
     STATE(s.useOutputImageFilename && s.outputImageFilename == L"C:/out/beauty.exr"),
     "Saving output to C:/out/beauty.exr"},
    {L"OutputImageFilename", {}, STATE(!s.useOutputImageFilename && s.outputImageFilename == L"C:/out/beauty.exr")},
    // Inside the list a name is replaced; beyond it (a negative index too) it is appended.
    {L"OutputImageReFilename,3,z.exr", {}, STATE(s.useRenderElementFilenames && s.renderElementFilenames.size() == 1),
     "Saving render element 3 output to z.exr"},
    {L"OutputImageReFilename,-1,a.exr", {}, STATE(s.renderElementFilenames.size() == 2)},
    {L"OutputImageReFilename,0,b.exr", {},
     STATE((s.renderElementFilenames == std::vector<std::wstring>{L"b.exr", L"a.exr"}))},
    {L"OutputImageReFilename,x,c.exr", {"ERROR: OutputImageReFilename: Parameter 1 , \"x\", is not a valid index."},
     STATE(s.renderElementFilenames.size() == 2)},
    {L"OutputImageReFilename,1", {}, STATE(!s.useRenderElementFilenames && s.renderElementFilenames.size() == 2)},
    {L"GammaCorrection,2.2", {}, STATE(!s.gammaCorrection),
     "GammaCorrection: requires 2 parameters, got 1, setting to false"},
    {L"GammaCorrection,x,2.2", {"ERROR: GammaCorrection: Parameter 1, \"x\", is not a valid gamma value."},
     STATE(s.gammaIn == 1.0f)},
    // A second value that is no number keeps the first.
    {L"GammaCorrection,1.8,y", {"ERROR: GammaCorrection: Parameter 2, \"y\", is not a valid gamma value."},
     STATE(s.gammaIn == 1.8f && !s.gammaCorrection)},
    {L"GammaCorrection,1.8,2.4", {}, STATE(s.gammaCorrection && s.gammaOut == 2.4f), "Gamma out: 2.4"},
    // A gamma that would reach the host as nonsense changes nothing.
    {L"GammaCorrection,nan,2.2", {"ERROR: GammaCorrection: Parameter 1, \"nan\"" + unusable},
     STATE(s.gammaCorrection && s.gammaIn == 1.8f)},
    {L"GammaCorrection,0,2.2", {"ERROR: GammaCorrection: Parameter 1, \"0\"" + unusable}, STATE(s.gammaIn == 1.8f)},
    {L"GammaCorrection,2.2,inf", {"ERROR: GammaCorrection: Parameter 2, \"inf\"" + unusable}, STATE(s.gammaOut == 2.4f)},
    {L"GammaCorrection,1e-30,3.4e38", {}, STATE(s.gammaIn == 1e-30f && s.gammaOut == 3.4e38f)},
    {L"PathConfigFile,C:/proj/paths.mxp", {}, STATE(s.usePathConfigFile && s.pathConfigFile == L"C:/proj/paths.mxp"),
     "Using alternate path config file C:/proj/paths.mxp"},
    {L"PathConfigFile,a,b", {}, STATE(!s.usePathConfigFile)},
    {L"IgnoreRenderElementsByName,Reflection,Refraction", {}, STATE(s.ignoredRenderElementNames.size() == 2)},
    {L"IgnoreRenderElementsByName,Reflection", {},
     STATE((s.ignoredRenderElementNames == std::vector<std::wstring>{L"Reflection", L"Refraction", L"Reflection"}))},
    {L"IgnoreRenderElementsByName", {}, STATE(s.ignoredRenderElementNames.size() == 3),
     "IgnoreRenderElementsByName: did not specify any render elements to skip"},
    // Regions on the host's 640 x 480 output; the padding goes inside the image where it fits.
    {L"RegionRendering,10,100,50,300,250,CROP", {},
     STATE(s.regionRendering && s.regionType == 4 && s.regionPadding == 10 && s.regionLeft == 90 && s.regionTop == 40 &&
           s.regionRight == 310 && s.regionBottom == 260 && s.regionLeftOver == 0 && s.regionBottomOver == 0),
     "Bottom: 260, over: 0"},
    {L"RegionRendering,20,0,0,640,480,NOCROP", {},
     STATE(s.regionType == 1 && s.regionLeft == 0 && s.regionRight == 640 && s.regionLeftOver == 20 &&
           s.regionTopOver == 20 && s.regionRightOver == 20 && s.regionBottomOver == 20),
     "Bottom greater than height: 500"},
    {L"RegionRendering,5,5,5,635,475,CROP", {},
     STATE(s.regionLeft == 0 && s.regionTop == 0 && s.regionRight == 640 && s.regionBottom == 480 &&
           s.regionLeftOver == 0 && s.regionRightOver == 0 && s.regionBottomOver == 0)},
    {L"RegionRendering,2147483647,0,0,2147483647,10,NOCROP", {},
     STATE(s.regionLeft == 0 && s.regionRight == 640 && s.regionLeftOver == 2147483647 &&
           s.regionRightOver == 2147483647)},
    {L"RegionRendering,1,2,3", {"ERROR: RegionRendering: Expected 6 parameters, got 3"}, STATE(s.regionRendering)},
    {L"RegionRendering,x,0,0,10,10,CROP",
     {"ERROR: RegionRendering: Parameter 1, \"x\", is not a valid value for Padding."},
     STATE(s.regionPadding == 2147483647)},
    {L"RegionRendering,-5,0,0,10,10,CROP",
     {"ERROR: RegionRendering: Parameter 1, \"-5\", is not a valid value for Padding."},
     STATE(s.regionPadding == 2147483647)},
    {L"RegionRendering,4,0,0,10,1e3,CROP",
     {"ERROR: RegionRendering: Parameter 5, \"1e3\", is not a valid value for Bottom."}, STATE(s.regionPadding == 4)},
    {L"RegionRendering,0,0,0,10,10,crop",
     {"ERROR: RegionRendering: Parameter 6, \"crop\", is not CROP, NOCROP, or BLOWUP."}, STATE(s.regionType == 1)},
    {L"RegionRendering,3,10,20,110,120,CROP", {}, STATE(s.regionType == 4 && s.regionLeft == 7)},
    // A blow-up without a usable scale keeps the region and its padding.
    {L"RegionRendering,7,100,0,100,240,BLOWUP",
     {"ERROR: RegionRendering: BLOWUP needs a region that is wider than zero pixels (left 100, right 100)."},
     STATE(s.regionPadding == 3 && s.regionLeft == 7 && s.regionBottom == 123)},
    {L"RegionRendering,7,2000000000,0,2000000001,240,BLOWUP",
     {"ERROR: RegionRendering: BLOWUP of a 640 by 480 output to this region does not give a valid image size."},
     STATE(s.regionPadding == 3 && s.regionRight == 113)},
    {L"RegionRendering,0,0,0,640,480,BLOWUP", {}, STATE(s.regionRight == 640 && s.regionBottom == 480)},
    {L"RegionRendering,0,100,0,420,240,BLOWUP", {},
     STATE(s.regionType == 4 && s.regionLeft == 200 && s.regionTop == 0 && s.regionRight == 840 &&
           s.regionBottom == 480)},
};

TEST(DispatcherCommands, RepliesStateAndLogOfEachCommand) {
  host::standalone::standalone_interface().reset();
  GetCOREInterface8()->SetRendWidth(640);
  GetCOREInterface8()->SetRendHeight(480);
  testing::LogCapture log;
  RecordedReplies replies;
  win32::simple_socket unconnected;
  JobState state;
  for (const Row& row : rows) {
    replies.texts.clear();
    DispatchCommand(state, row.command, replies, unconnected);
    const std::string command = to_utf8(row.command);
    EXPECT_EQ(replies.texts, row.replies) << command;
    EXPECT_TRUE(row.check.holds(state)) << command << ": " << row.check.text;
    if (row.log_line) {
      EXPECT_TRUE(log.contains_line(row.log_line)) << command << ": " << row.log_line;
    }
  }
  EXPECT_EQ(GetCOREInterface8()->GetRendWidth(), 1280) << "the last blow-up doubled the output";
  EXPECT_EQ(GetCOREInterface8()->GetRendHeight(), 960);
  host::standalone::standalone_interface().reset();
}

TEST_F(DispatcherTest, FlagCommandsIgnoreTheirParametersAndReplyNothing) {
  const std::pair<std::wstring, bool JobState::*> switched_on[] = {
      {L"BlackFramesCheckRenderElements", &JobState::blackFramesCheckRenderElements},
      {L"MergePathConfigFile", &JobState::mergePathConfigFile},
      {L"LocalRendering", &JobState::localRendering},
      {L"RestartRendererMode", &JobState::restartRendererMode},
      {L"IgnoreMissingExternalFiles", &JobState::ignoreMissingExternalFiles},
      {L"IgnoreMissingUVWs", &JobState::ignoreMissingUVWs},
      {L"IgnoreMissingDLLs", &JobState::ignoreMissingDLLs},
      {L"IgnoreMissingXREFs", &JobState::ignoreMissingXREFs},
      {L"DisableMultipass", &JobState::disableMultipass},
      {L"RemovePadding", &JobState::removePadding}};
  for (const auto& [word, field] : switched_on) {
    EXPECT_FALSE(state.*field);
    EXPECT_THAT(dispatch(word + L",ignored,too"), ElementsAre());
    EXPECT_TRUE(state.*field) << to_string(word);
  }
  state.useAltOutput = state.showFrameBuffer = true;
  for (const wchar_t* word : {L"DisableAltOutput", L"HideFrameBuffer", L"IgnoreRenderElements"})
    EXPECT_THAT(dispatch(word), ElementsAre());
  EXPECT_FALSE(state.useAltOutput || state.showFrameBuffer || state.renderElementsEnabled);
}

TEST_F(DispatcherTest, LogsTheCommandAndEachFieldBeforeActingButNotWhatCannotBeSplit) {
  dispatch(L"SlaveFolders,C:/jobs,\"D:/plug,ins\"");
  EXPECT_THAT(log.lines(), ElementsAre("Command: SlaveFolders,C:/jobs,\"D:/plug,ins\"", "SlaveFolders", "C:/jobs",
                                       "D:/plug,ins", ""));
  // Splitting errors are the session's to answer: no log, no reply, no change.
  for (const auto& [command, error] : {std::pair{L"TempFolder,C:\\farm", "unknown escape sequence"},
                                       {L"TempFolder,b\\", "cannot end with escape"}}) {
    EXPECT_THAT([&] { dispatch(command); },
                ::testing::ThrowsMessage<boost::escaped_list_error>(::testing::StrEq(error)));
  }
  EXPECT_EQ(log.lines().size(), 5u);
  EXPECT_TRUE(replies.texts.empty());
  EXPECT_EQ(state.tempFolder, L"");
}

TEST(SplitCommand, SeparatorsQuotesAndEscapes) {
  EXPECT_THAT(split_command(L"a,,b"), ElementsAre(L"a", L"", L"b"));
  EXPECT_THAT(split_command(L"a,"), ElementsAre(L"a", L""));
  EXPECT_TRUE(split_command(L"").empty());
  EXPECT_THAT(split_command(L"ab\"c,d\"e"), ElementsAre(L"abc,de"));
  EXPECT_THAT(split_command(L"x,a\\nb,c\\\\d,\\\"q\\\""), ElementsAre(L"x", L"a\nb", L"c\\d", L"\"q\""));
  EXPECT_THAT(split_command(L" RenderTask , 12 "), ElementsAre(L" RenderTask ", L" 12 "));
}

TEST(JobStateDefaults, MatchTheFreshRecordAndTheJobStartReset) {
  JobState state;
  EXPECT_EQ(state.lastCrashReport, "No message");
  EXPECT_EQ(state.lockedViewportIndex, -1);
  EXPECT_TRUE(state.renderElementsEnabled && !state.showFrameBuffer && !state.useAltOutput);
  state.regionRendering = state.gammaCorrection = state.useOutputImageFilename = true;
  state.regionLeftOver = 5;
  state.jpegOutputPath = state.tempFolder = L"C:\\t";
  reset_per_job_fields(state);
  EXPECT_TRUE(state.showFrameBuffer && state.useAltOutput && state.gammaCorrection);
  EXPECT_EQ(state.blackPixelThreshold, 0.1f);
  EXPECT_FALSE(state.regionRendering || state.useOutputImageFilename);
  EXPECT_EQ(state.regionLeftOver, 0);
  EXPECT_EQ(state.jpegOutputPath, L"");
  EXPECT_EQ(state.tempFolder, L"C:\\t");
}

}  // namespace
}  // namespace paravelle::daemon
