// TaskmereUtil as scripts see it without a running daemon: its table, the local answers
// and the Debug_ steps.

#include "script/paravelle_interface.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "daemon/plugin_statics.h"
#include "host/core.h"
#include "host/platform.h"
#include "host/standalone/standalone_interface.h"
#include "script_run.h"
#include "support/log_capture.h"

namespace paravelle::testing {
namespace {

TEST(TaskmereUtil, PublishesTheWholeTableUnderItsIdentity) {
  FPInterfaceDesc* published = host::fp::find_interface(L"TaskmereUtil");
  ASSERT_EQ(published, &script::paravelleInterface);
  EXPECT_EQ(published->GetID(), Interface_ID(0x83928748, 0xA38F941E));
  EXPECT_EQ(host::fp::find_interface(Interface_ID(0x83928748, 0xA38F941E)), published);

  using Params = std::vector<std::pair<std::wstring, int>>;
  struct Function {
    FunctionID id;
    const wchar_t* name;
    int result;
    Params params;
  };
  const Params key = {{L"key", TYPE_VALUE}};
  const std::vector<Function> functions = {
      {0, L"Debug_StartJob", TYPE_bool, {{L"fileName", TYPE_VALUE}, {L"cameraName", TYPE_VALUE}}},
      {1, L"Debug_EndJob", TYPE_bool, {}},
      {2, L"Debug_RenderFrame", TYPE_bool, {{L"frameIndex", TYPE_INT}}},
      {3, L"SetTitle", TYPE_VOID, {{L"title", TYPE_VALUE}}},
      {4, L"SetProgress", TYPE_bool, {{L"percent", TYPE_FLOAT}}},
      {5, L"FailRender", TYPE_VOID, {{L"message", TYPE_VALUE}}},
      {6, L"GetSubmitInfoEntry", TYPE_VALUE, key},
      {7, L"GetSubmitInfoEntryElementCount", TYPE_INT, key},
      {8, L"GetSubmitInfoEntryElement", TYPE_VALUE, {{L"index", TYPE_INT}, {L"key", TYPE_VALUE}}},
      {9, L"GetJobInfoEntry", TYPE_VALUE, key},
      {10, L"GetAuxFilename", TYPE_VALUE, {{L"index", TYPE_INT}}},
      {11, L"GetOutputFilename", TYPE_VALUE, {{L"index", TYPE_INT}}},
      {12, L"GetPathMappedFilename", TYPE_VALUE, {{L"inputFilename", TYPE_VALUE}}},
      {20, L"LogMessage", TYPE_VOID, {{L"message", TYPE_VALUE}}},
      {21, L"WarnMessage", TYPE_VOID, {{L"message", TYPE_VALUE}}},
      {22, L"RunParavelleDaemon", TYPE_bool, {{L"portNumber", TYPE_INT}, {L"token", TYPE_VALUE}}},
  };
  ASSERT_EQ(published->functions.size(), functions.size());
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const FPFunctionDef& def = published->functions[i];
    EXPECT_EQ(def.ID, functions[i].id);
    EXPECT_EQ(def.internal_name, functions[i].name);
    EXPECT_EQ(def.result_type, functions[i].result) << def.internal_name;
    ASSERT_EQ(def.params.size(), functions[i].params.size()) << def.internal_name;
    for (std::size_t p = 0; p < def.params.size(); ++p) {
      EXPECT_EQ(def.params[p].internal_name, functions[i].params[p].first) << def.internal_name;
      EXPECT_EQ(def.params[p].type, functions[i].params[p].second) << def.internal_name;
    }
  }

  const std::vector<std::pair<const wchar_t*, int>> properties = {
      {L"CurrentFrame", TYPE_INT},    {L"CurrentTask", TYPE_INT},    {L"SceneFileName", TYPE_VALUE},
      {L"SceneFilePath", TYPE_VALUE}, {L"JobsDataFolder", TYPE_VALUE}, {L"PluginsFolder", TYPE_VALUE},
      {L"TempFolder", TYPE_VALUE}};
  ASSERT_EQ(published->props.size(), properties.size());
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const FPPropDef& def = published->props[i];
    EXPECT_EQ(def.getter_ID, static_cast<FunctionID>(13 + i));
    EXPECT_EQ(def.setter_ID, FP_NO_FUNCTION);
    EXPECT_EQ(def.internal_name, properties[i].first);
    EXPECT_EQ(def.prop_type, properties[i].second);
    EXPECT_EQ(published->FindFn(properties[i].first), FP_NO_FUNCTION);
  }
  EXPECT_THAT(run_script(L"TaskmereUtil.CurrentTask = 3").error,
              ::testing::HasSubstr(L"Cannot set read-only property TaskmereUtil.CurrentTask"));
}

TEST(TaskmereUtil, WithoutADaemonThePropertiesAnswerLocally) {
  auto& host = host::standalone::standalone_interface();
  host.SetTime(12 * GetTicksPerFrame() + GetTicksPerFrame() - 1);
  const ScriptOutcome outcome = run_script(
      L"#(TaskmereUtil.CurrentFrame, TaskmereUtil.CurrentTask, TaskmereUtil.SceneFileName, "
      L"TaskmereUtil.SceneFilePath, TaskmereUtil.JobsDataFolder, TaskmereUtil.PluginsFolder, "
      L"TaskmereUtil.TempFolder)");
  host.SetTime(0);
  EXPECT_EQ(outcome.value, L"#(12, -1, undefined, undefined, undefined, undefined, undefined)");
}

TEST(TaskmereUtil, WithoutADaemonTheFarmFunctionsAnswerLocallyAndSendNothing) {
  const auto drains = host::drain_count();
  const ScriptOutcome requests = run_script(
      L"#(TaskmereUtil.GetSubmitInfoEntry \"k\", TaskmereUtil.GetSubmitInfoEntryElementCount \"k\", "
      L"TaskmereUtil.GetSubmitInfoEntryElement 0 \"k\", TaskmereUtil.GetJobInfoEntry \"k\", "
      L"TaskmereUtil.GetAuxFilename 0, TaskmereUtil.SetProgress 50)");
  EXPECT_EQ(requests.value, L"#(undefined, 0, undefined, undefined, undefined, true)");
  EXPECT_EQ(host::drain_count(), drains);
  EXPECT_FALSE(daemon::farmConnection.is_connected());

  const ScriptOutcome notes = run_script(
      L"TaskmereUtil.LogMessage \"a %s line\"\nTaskmereUtil.WarnMessage \"careful\"\n"
      L"TaskmereUtil.SetTitle \"Frame 3\"");
  EXPECT_EQ(notes.listener, L"a %s line\ncareful\nTitle was set to \"Frame 3\"\n");

  // Path mapping always asks the farm.
  EXPECT_EQ(run_script(L"TaskmereUtil.GetPathMappedFilename \"C:\\a.max\"").error,
            L"Error in GetPathMappedFilename: simple_socket: send called while not connected.");
}

TEST(TaskmereUtil, FailRenderStopsTheScriptWithExactlyItsMessage) {
  EXPECT_EQ(run_script(L"TaskmereUtil.FailRender \"Bad frame: 12%\"\n\"after\"").error, L"Bad frame: 12%");
  EXPECT_EQ(run_script(L"try (TaskmereUtil.FailRender \"stop\"; \"after\") catch (\"caught: \" + getCurrentException())")
                .value,
            L"\"caught: -- Runtime error: stop\"");
}

TEST(TaskmereUtil, GetOutputFilenameReadsTheFramesWrittenOutputs) {
  daemon::jobState.writtenOutputFiles = {L"C:\\out\\beauty_0012.exr", L"C:\\out\\z_0012.exr"};
  const ScriptOutcome outcome = run_script(
      L"#(TaskmereUtil.GetOutputFilename -1, TaskmereUtil.GetOutputFilename 0, "
      L"TaskmereUtil.GetOutputFilename 1, TaskmereUtil.GetOutputFilename 2)");
  daemon::jobState.writtenOutputFiles.clear();
  EXPECT_EQ(outcome.value, L"#(undefined, \"C:\\\\out\\\\beauty_0012.exr\", \"C:\\\\out\\\\z_0012.exr\", undefined)");
  EXPECT_EQ(run_script(L"TaskmereUtil.GetOutputFilename 0").value, L"undefined");
}

TEST(TaskmereUtil, TheDebugStepsReportFailuresAndReturnFalse) {
  LogCapture log;
  const struct {
    const wchar_t* script;
    std::string text;
  } steps[] = {
      {L"TaskmereUtil.Debug_StartJob \"C:\\scenes\\a.max\" \"cam\"",
       "StartJob: jobs are not available in this build of the plug-in"},
      {L"TaskmereUtil.Debug_EndJob()", "EndJob: jobs are not available in this build of the plug-in"},
      {L"TaskmereUtil.Debug_RenderFrame 3", "RenderFrame: jobs are not available in this build of the plug-in"},
  };
  for (const auto& step : steps) {
    const ScriptOutcome outcome = run_script(step.script);
    EXPECT_EQ(outcome.value, L"false");
    EXPECT_EQ(outcome.listener, L"Exception: " + std::wstring(step.text.begin(), step.text.end()) + L"\n");
    EXPECT_TRUE(log.contains_line(step.text)) << step.text;
  }
  EXPECT_FALSE(daemon::jobState.jobRunning);
}

}  // namespace
}  // namespace paravelle::testing
