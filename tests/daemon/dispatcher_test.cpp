#include <gmock/gmock.h>

#include <boost/tokenizer.hpp>

#include "dispatcher_fixture.h"
#include "transport/text.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

using ::testing::ElementsAre;

TEST_F(DispatcherTest, UnknownWordsAreQuotedAsSplit) {
  EXPECT_THAT(dispatch(L"renderTask,1"), ElementsAre("ERROR: Unexpected command \"renderTask\" received."));
  EXPECT_THAT(dispatch(L"\"Temp\\\"Folder\""), ElementsAre("ERROR: Unexpected command \"Temp\"Folder\" received."));
  EXPECT_THAT(dispatch(L"caf\u00E9\u4E2D"),
              ElementsAre("ERROR: Unexpected command \"caf\xC3\xA9\xE4\xB8\xAD\" received."));
}

TEST_F(DispatcherTest, AnEmptyMessageIsAnUnknownCommandAndChangesNothing) {
  const JobState before = state;
  EXPECT_THAT(dispatch(L""), ElementsAre("ERROR: Unexpected command \"\" received."));
  EXPECT_EQ(state.tempFolder, before.tempFolder);
  EXPECT_EQ(state.currentTask, before.currentTask);
}

TEST_F(DispatcherTest, LogsTheCommandAndEachFieldBeforeActing) {
  dispatch(L"SlaveFolders,C:/jobs,\"D:/plug,ins\"");
  EXPECT_THAT(log.lines(), ElementsAre("Command: SlaveFolders,C:/jobs,\"D:/plug,ins\"", "SlaveFolders", "C:/jobs",
                                       "D:/plug,ins", ""));
  EXPECT_EQ(state.jobsDataFolder, L"C:\\jobs");
  EXPECT_EQ(state.pluginsFolder, L"D:\\plug,ins");
}

TEST_F(DispatcherTest, SplittingErrorsLeaveTheDispatcherWithoutLogOrReply) {
  EXPECT_THROW(dispatch(L"TempFolder,C:\\farm"), boost::escaped_list_error);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(replies.texts.empty());
  EXPECT_EQ(state.tempFolder, L"");
}

TEST_F(DispatcherTest, FolderCommandsStoreBackslashPathsSilently) {
  EXPECT_THAT(dispatch(L"TempFolder,C:/farm/temp"), ElementsAre());
  EXPECT_EQ(state.tempFolder, L"C:\\farm\\temp");
  EXPECT_THAT(dispatch(L"TempFolder,C:\\\\farm"), ElementsAre());
  EXPECT_EQ(state.tempFolder, L"C:\\farm");
  EXPECT_THAT(dispatch(L"TempFolder"), ElementsAre("ERROR: TempFolder: Expected 1 parameter, got 0"));
  EXPECT_THAT(dispatch(L"TempFolder,a,b"), ElementsAre("ERROR: TempFolder: Expected 1 parameter, got 2"));
  EXPECT_EQ(state.tempFolder, L"C:\\farm");

  dispatch(L"SlaveFolders,a/b,c/d");
  EXPECT_THAT(dispatch(L"SlaveFolders,a"), ElementsAre("ERROR: SlaveFolders: Expected 2 parameters, got 1"));
  EXPECT_EQ(state.jobsDataFolder, L"a\\b");
  EXPECT_EQ(state.pluginsFolder, L"c\\d");
}

TEST_F(DispatcherTest, TaskAndFrameBaseNumbers) {
  EXPECT_THAT(dispatch(L"CurrentTask,+7"), ElementsAre());
  EXPECT_EQ(state.currentTask, 7);
  EXPECT_THAT(dispatch(L"CurrentTask,7a"),
              ElementsAre("ERROR: CurrentTask: Parameter 1 , \"7a\", is not a valid task number."));
  EXPECT_THAT(dispatch(L"CurrentTask"), ElementsAre("ERROR: CurrentTask: Expected 1 parameter, got 0"));
  EXPECT_EQ(state.currentTask, 7);

  EXPECT_THAT(dispatch(L"FrameNumberBase,-3"), ElementsAre());
  EXPECT_EQ(state.frameNumberBase, -3);
  EXPECT_THAT(dispatch(L"FrameNumberBase,2147483648"),
              ElementsAre("ERROR: FrameNumberBase: Parameter 1, \"2147483648\", is not a valid value for frame "
                          "number base."));
  EXPECT_THAT(dispatch(L"FrameNumberBase,1,2"), ElementsAre("ERROR: FrameNumberBase: Expected 1 parameter, got 2"));
  EXPECT_EQ(state.frameNumberBase, -3);
}

TEST_F(DispatcherTest, FlagCommandsIgnoreTheirParametersAndReplyNothing) {
  const std::vector<std::pair<std::wstring, bool JobState::*>> switched_on = {
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
  EXPECT_THAT(dispatch(L"DisableAltOutput"), ElementsAre());
  EXPECT_THAT(dispatch(L"HideFrameBuffer"), ElementsAre());
  EXPECT_THAT(dispatch(L"IgnoreRenderElements"), ElementsAre());
  EXPECT_FALSE(state.useAltOutput);
  EXPECT_FALSE(state.showFrameBuffer);
  EXPECT_FALSE(state.renderElementsEnabled);
}

TEST_F(DispatcherTest, ContinueOnlyLogs) {
  const JobState before = state;
  EXPECT_THAT(dispatch(L"CONTINUE,anything"), ElementsAre());
  EXPECT_TRUE(log.contains_line("Warning: ignoring CONTINUE statement"));
  EXPECT_EQ(state.currentTask, before.currentTask);
}

TEST(JobStateDefaults, MatchTheFreshRecordAndTheJobStartReset) {
  JobState state;
  EXPECT_EQ(state.lastCrashReport, "No message");
  EXPECT_EQ(state.lockedViewportIndex, -1);
  EXPECT_TRUE(state.renderElementsEnabled);
  EXPECT_FALSE(state.showFrameBuffer);
  EXPECT_FALSE(state.useAltOutput);
  EXPECT_EQ(state.gammaIn, 1.0f);

  state.regionRendering = true;
  state.regionLeftOver = 5;
  state.jpegOutputPath = L"C:\\jpg\\";
  state.gammaCorrection = true;
  state.tempFolder = L"C:\\t";
  state.outputImageFilename = L"kept";
  state.useOutputImageFilename = true;
  reset_per_job_fields(state);
  EXPECT_TRUE(state.showFrameBuffer);
  EXPECT_TRUE(state.useAltOutput);
  EXPECT_EQ(state.blackPixelThreshold, 0.1f);
  EXPECT_FALSE(state.regionRendering);
  EXPECT_EQ(state.regionLeftOver, 0);
  EXPECT_EQ(state.jpegOutputPath, L"");
  EXPECT_FALSE(state.useOutputImageFilename);
  EXPECT_EQ(state.outputImageFilename, L"kept");
  EXPECT_TRUE(state.gammaCorrection);
  EXPECT_EQ(state.tempFolder, L"C:\\t");
}

}  // namespace
}  // namespace paravelle::daemon
