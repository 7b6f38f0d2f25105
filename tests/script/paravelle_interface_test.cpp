// TaskmereUtil as scripts see it without a running daemon: its table, the local answers
// and the Debug_ steps.

#include "script/paravelle_interface.h"

#include <gtest/gtest.h>

#include "host/core.h"
#include "host/standalone/standalone_interface.h"
#include "job/job_state.h"
#include "script_run.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/sanitizers.h"

namespace paravelle::testing {
namespace {

TEST(TaskmereUtil, PublishesTheWholeTableUnderItsIdentity) {
  const Interface_ID id(0x83928748, 0xA38F941E);
  FPInterfaceDesc* published = host::fp::find_interface(L"TaskmereUtil");
  ASSERT_EQ(published, &script::paravelle_interface);
  EXPECT_EQ(published->GetID(), id);
  EXPECT_EQ(host::fp::find_interface(id), published);

  const Parameters key = {{L"key", TYPE_VALUE}}, message = {{L"message", TYPE_VALUE}};
  EXPECT_EQ(functions_of(*published),
            (std::vector<FunctionEntry>{
                {0, L"Debug_StartJob", TYPE_bool, {{L"fileName", TYPE_VALUE}, {L"cameraName", TYPE_VALUE}}},
                {1, L"Debug_EndJob", TYPE_bool, {}},
                {2, L"Debug_RenderFrame", TYPE_bool, {{L"frameIndex", TYPE_INT}}},
                {3, L"SetTitle", TYPE_VOID, {{L"title", TYPE_VALUE}}},
                {4, L"SetProgress", TYPE_bool, {{L"percent", TYPE_FLOAT}}},
                {5, L"FailRender", TYPE_VOID, message},
                {6, L"GetSubmitInfoEntry", TYPE_VALUE, key},
                {7, L"GetSubmitInfoEntryElementCount", TYPE_INT, key},
                {8, L"GetSubmitInfoEntryElement", TYPE_VALUE, {{L"index", TYPE_INT}, {L"key", TYPE_VALUE}}},
                {9, L"GetJobInfoEntry", TYPE_VALUE, key},
                {10, L"GetAuxFilename", TYPE_VALUE, {{L"index", TYPE_INT}}},
                {11, L"GetOutputFilename", TYPE_VALUE, {{L"index", TYPE_INT}}},
                {12, L"GetPathMappedFilename", TYPE_VALUE, {{L"inputFilename", TYPE_VALUE}}},
                {20, L"LogMessage", TYPE_VOID, message},
                {21, L"WarnMessage", TYPE_VOID, message},
                {22, L"RunParavelleDaemon", TYPE_bool, {{L"portNumber", TYPE_INT}, {L"token", TYPE_VALUE}}}}));
  // Read-only properties: no setter.
  EXPECT_EQ(properties_of(*published), (std::vector<PropertyEntry>{{13, -1, L"CurrentFrame", TYPE_INT},
                                                                   {14, -1, L"CurrentTask", TYPE_INT},
                                                                   {15, -1, L"SceneFileName", TYPE_VALUE},
                                                                   {16, -1, L"SceneFilePath", TYPE_VALUE},
                                                                   {17, -1, L"JobsDataFolder", TYPE_VALUE},
                                                                   {18, -1, L"PluginsFolder", TYPE_VALUE},
                                                                   {19, -1, L"TempFolder", TYPE_VALUE}}));
}

TEST(TaskmereUtil, WithoutADaemonThePropertiesAndNotificationsAnswerLocally) {
  auto& host = host::standalone::standalone_interface();
  host.SetTime(12 * GetTicksPerFrame() + GetTicksPerFrame() - 1);
  const ScriptOutcome properties =
      run_script(L"#(TaskmereUtil.CurrentFrame, TaskmereUtil.CurrentTask, TaskmereUtil.SceneFileName, "
                 L"TaskmereUtil.SceneFilePath, TaskmereUtil.JobsDataFolder, TaskmereUtil.PluginsFolder, "
                 L"TaskmereUtil.TempFolder)");
  host.SetTime(0);
  EXPECT_EQ(properties.value, L"#(12, -1, undefined, undefined, undefined, undefined, undefined)");

  const ScriptOutcome notes =
      run_script(L"TaskmereUtil.LogMessage \"a %s line\"\nTaskmereUtil.WarnMessage \"careful\"\n"
                 L"TaskmereUtil.SetTitle \"Frame 3\"\nTaskmereUtil.SetProgress 50");
  EXPECT_EQ(notes.listener, L"a %s line\ncareful\nTitle was set to \"Frame 3\"\n");
  EXPECT_EQ(notes.value, L"true");
}

TEST(TaskmereUtil, FailRenderStopsTheScriptWithExactlyItsMessage) {
  EXPECT_EQ(run_script(L"TaskmereUtil.FailRender \"Bad frame: 12%\"\n\"after\"").error, L"Bad frame: 12%");
  EXPECT_EQ(
      run_script(L"try (TaskmereUtil.FailRender \"stop\"; \"after\") catch (\"caught: \" + getCurrentException())")
          .value,
      L"\"caught: -- Runtime error: stop\"");
}

TEST(TaskmereUtil, GetOutputFilenameReadsTheFramesWrittenOutputs) {
  job::job_state.writtenOutputFiles = {L"C:\\out\\beauty_0012.exr", L"C:\\out\\z_0012.exr"};
  const ScriptOutcome outcome = run_script(L"#(TaskmereUtil.GetOutputFilename -1, TaskmereUtil.GetOutputFilename 0, "
                                           L"TaskmereUtil.GetOutputFilename 1, TaskmereUtil.GetOutputFilename 2)");
  job::job_state.writtenOutputFiles.clear();
  EXPECT_EQ(outcome.value, L"#(undefined, \"C:\\\\out\\\\beauty_0012.exr\", \"C:\\\\out\\\\z_0012.exr\", undefined)");
}

// The Debug_ steps run the job's steps on the library's job state without a farm: a
// failure prints one listener line and one log line and gives false.
TEST(TaskmereUtil, TheDebugStepsRunTheJobStepsAndReportFailures) {
  LogCapture log;
  TempFolder folder;
  host::standalone::standalone_interface().reset();
  nlohmann::json scene = small_job_scene();
  const std::string good = write_scene(folder.path(), "good.json", scene);
  scene["faults"] = {{{"when", "viewport"}, {"kind", "write"}}};
  const std::string crashing = write_scene(folder.path(), "crash.json", scene);
  const auto wide_text = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
  const struct {
    std::wstring script;
    const char* value;
    std::string listener;  // also the log's last line, without the listener's prefix
  } steps[] = {
      {L"Debug_RenderFrame 1", "false",
       "Exception: RenderFrame called when consistency check flag jobRunning was not set"},
      {L"Debug_StartJob \"C:/scenes/a.max\" \"cam\"", "false", "Exception: Invalid max file: \"C:/scenes/a.max\""},
      {L"Debug_EndJob()", "false", "Exception: EndJob called when consistency check flag jobRunning was not set"},
      {L"Debug_StartJob \"" + wide_text(crashing) + L"\" \"\"", "false",
       "SEH Exception: Trapped SEH Exception in StartJob(): Access Violation"},
      {L"Debug_StartJob \"" + wide_text(good) + L"\" \"Cam\"", "true", ""},
      {L"Debug_RenderFrame 13421773", "false",
       "Exception: Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
      {L"Debug_EndJob()", "true", ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.script.begin(), step.script.end()));
    if (!machine_faults_trapped && step.listener.starts_with("SEH")) continue;  // they need the trap's handlers
    const ScriptOutcome outcome = run_script(L"TaskmereUtil." + step.script);
    EXPECT_EQ(outcome.value, wide_text(step.value));
    EXPECT_EQ(outcome.listener, step.listener.empty() ? L"" : wide_text(step.listener) + L"\n");
    if (!step.listener.empty()) {
      EXPECT_EQ(log.lines().back(), step.listener.substr(step.listener.find(": ") + 2));
    }
  }
  EXPECT_FALSE(job::job_state.jobRunning);
  host::standalone::standalone_interface().reset();
}

}  // namespace
}  // namespace paravelle::testing
