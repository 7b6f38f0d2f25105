// TaskmereUtil as scripts see it without a running daemon: its table, the local answers
// and the Debug_ steps.

#include "script/paravelle_interface.h"

#include <gtest/gtest.h>

#include "daemon/plugin_statics.h"
#include "script/farm_log.h"
#include "host/core.h"
#include "host/standalone/standalone_interface.h"
#include "script_run.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/sanitizers.h"

namespace paravelle::testing {
namespace {

TEST(TaskmereUtil, IsPublishedUnderItsIdentityWithReadOnlyProperties) {
  const Interface_ID id(0x83928748, 0xA38F941E);
  FPInterfaceDesc* published = host::fp::find_interface(L"TaskmereUtil");
  ASSERT_EQ(published, &script::paravelleInterface);
  EXPECT_EQ(host::fp::find_interface(id), published);
  const auto functions = functions_of(*published);
  ASSERT_EQ(functions.size(), 16u);
  EXPECT_EQ(functions[8], (FunctionEntry{8, L"GetSubmitInfoEntryElement", TYPE_VALUE,
                                         {{L"index", TYPE_INT}, {L"key", TYPE_VALUE}}}));
  EXPECT_EQ(functions[15], (FunctionEntry{22, L"RunParavelleDaemon", TYPE_bool,
                                          {{L"portNumber", TYPE_INT}, {L"token", TYPE_VALUE}}}));
  for (const PropertyEntry& property : properties_of(*published)) EXPECT_EQ(std::get<1>(property), -1);
  EXPECT_EQ(properties_of(*published).size(), 7u);
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
  // Lines for the farm are logged even when the farm is gone.
  LogCapture log;
  script::LogToFarm(L"Rendering frame \u0141");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Rendering frame ?", "  failed to send this message to Taskmere "
                                                   "because: simple_socket: send called while not connected."}));
}

TEST(TaskmereUtil, FailRenderStopsTheScriptAndGetOutputFilenameReadsTheFramesOutputs) {
  EXPECT_EQ(run_script(L"TaskmereUtil.FailRender \"Bad frame: 12%\"\n\"after\"").error, L"Bad frame: 12%");
  daemon::jobState.writtenOutputFiles = {L"C:\\out\\beauty_0012.exr", L"C:\\out\\z_0012.exr"};
  const ScriptOutcome outcome = run_script(L"#(TaskmereUtil.GetOutputFilename -1, TaskmereUtil.GetOutputFilename 0, "
                                           L"TaskmereUtil.GetOutputFilename 1, TaskmereUtil.GetOutputFilename 2)");
  daemon::jobState.writtenOutputFiles.clear();
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
    if (active_sanitizer && step.listener.starts_with("SEH")) continue;  // machine faults need the trap's handlers
    const ScriptOutcome outcome = run_script(L"TaskmereUtil." + step.script);
    EXPECT_EQ(outcome.value, wide_text(step.value));
    EXPECT_EQ(outcome.listener, step.listener.empty() ? L"" : wide_text(step.listener) + L"\n");
    if (!step.listener.empty()) {
      EXPECT_EQ(log.lines().back(), step.listener.substr(step.listener.find(": ") + 2));
    }
  }
  EXPECT_FALSE(daemon::jobState.jobRunning);
  host::standalone::standalone_interface().reset();
}

}  // namespace
}  // namespace paravelle::testing
