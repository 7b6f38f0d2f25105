// The commands as the farm sends them, without a connection: the replies, the state they
// leave and the log lines they write; the script commands with the scene time they move.

#include <gmock/gmock.h>

#include <boost/tokenizer.hpp>
#include <fstream>
#include <stdexcept>

#include "daemon/command_context.h"
#include "dispatcher_fixture.h"
#include "host/core.h"
#include "host/standalone/standalone_interface.h"
#include "host/maxscript_runtime.h"
#include "support/job_scenes.h"

namespace paravelle::daemon {
namespace {

using job::JobState;

using ::testing::ElementsAre;

struct Check {
  const char* text;
  bool (*holds)(const JobState&);
};
// clang-format off
#define STATE(expr) Check{#expr, [](const JobState& s) { return static_cast<bool>(expr); }}
// clang-format on

struct Row {
  std::wstring command;
  Replies replies;
  Check check;
  const char* log_line = nullptr;  // a line the log holds afterwards
};

const std::string unusable = ", is not a usable gamma value: it must be a finite number greater than 0.";

// In order, on one job state: a row may rely on what the rows before it stored, and a
// refused value must leave it. (Left as written: one row a line where it fits.)
// clang-format off
const Row rows[] = {
    {L"renderTask,1", {"ERROR: Unexpected command \"renderTask\" received."}, STATE(s.currentFrame == 0)},
    {L"", {"ERROR: Unexpected command \"\" received."}, STATE(s.currentTask == 0)},
    {L"CONTINUE,anything", {}, STATE(s.currentTask == 0), "Warning: ignoring CONTINUE statement"},
    {L"TempFolder,C:/farm/temp", {}, STATE(s.tempFolder == L"C:\\farm\\temp")},
    {L"TempFolder", {"ERROR: TempFolder: Expected 1 parameter, got 0"}, STATE(s.tempFolder == L"C:\\farm\\temp")},
    {L"SlaveFolders,a/b,\"c/d,e\"", {}, STATE(s.jobsDataFolder == L"a\\b" && s.pluginsFolder == L"c\\d,e")},
    {L"CurrentTask,+7", {}, STATE(s.currentTask == 7)},
    {L"CurrentTask,7a", {"ERROR: CurrentTask: Parameter 1 , \"7a\", is not a valid task number."},
     STATE(s.currentTask == 7)},
    {L"FrameNumberBase,-2147483648", {}, STATE(s.frameNumberBase == -2147483647 - 1)},
    {L"FrameNumberBase,2147483648",
     {"ERROR: FrameNumberBase: Parameter 1, \"2147483648\", is not a valid value for frame number base."},
     STATE(s.frameNumberBase == -2147483647 - 1)},
    // The frame is stored before the job check, so a script sees the task's frame.
    {L"RenderTask,+12", {"ERROR: RenderTask: Called without being in a job."}, STATE(s.currentFrame == 12)},
    {L"StartJob,a.json", {"ERROR: StartJob: Expected 2 parameters, got 1"}, STATE(!s.jobRunning)},
    {L"UseJpegOutput,D:/jpg/", {}, STATE(s.useJpegOutput && s.jpegOutputPath == L"D:/jpg/")},
    {L"FailOnBlackFrames,150,0.5", {},
     STATE(s.failOnBlackFrames && s.blackPixelPercentage == 100 && s.blackPixelThreshold == 0.5f)},
    {L"FailOnBlackFrames,abc,0.2", {}, STATE(!s.failOnBlackFrames && s.blackPixelThreshold == 0.2f),
     "FailOnBlackFrames: Parameter 1, \"abc\", is not a valid percentage."},
    {L"FailOnBlackFrames,40,nan", {},
     STATE(!s.failOnBlackFrames && s.blackPixelPercentage == 40 && s.blackPixelThreshold == 0.2f),
     "FailOnBlackFrames: Parameter 2, \"nan\", is not a valid threshold."},
    {L"FailOnBlackFrames,40", {}, STATE(!s.failOnBlackFrames),
     "FailOnBlackFrames: requires 2 parameters, got 1, setting to false"},
    {L"OverrideSaveFile,+001", {}, STATE(s.overrideSaveFile && s.saveFile), "Overriding save file option to 1"},
    {L"OverrideSaveFile,2", {"ERROR: OverrideSaveFile: Parameter 1, \"2\", is not a valid value (0 or 1)."},
     STATE(!s.overrideSaveFile && !s.saveFile)},
    {L"OverrideSaveFile,1", {}, STATE(s.overrideSaveFile)},
    {L"OverrideSaveFile,1,0", {}, STATE(!s.overrideSaveFile && !s.saveFile),
     "OverrideSaveFile: requires 1 parameters, got 2, setting to false"},
    {L"OutputImageFilename,C:/out/beauty.exr", {},
     STATE(s.useOutputImageFilename && s.outputImageFilename == L"C:/out/beauty.exr"),
     "Saving output to C:/out/beauty.exr"},
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
    // A second value that is no number keeps the first.
    {L"GammaCorrection,1.8,y", {"ERROR: GammaCorrection: Parameter 2, \"y\", is not a valid gamma value."},
     STATE(s.gammaIn == 1.8f && !s.gammaCorrection)},
    {L"GammaCorrection,1.8,2.4", {}, STATE(s.gammaCorrection && s.gammaOut == 2.4f), "Gamma out: 2.4"},
    // A gamma that would reach the host as nonsense changes nothing.
    {L"GammaCorrection,nan,2.2", {"ERROR: GammaCorrection: Parameter 1, \"nan\"" + unusable},
     STATE(s.gammaCorrection && s.gammaIn == 1.8f)},
    {L"GammaCorrection,2.2,inf", {"ERROR: GammaCorrection: Parameter 2, \"inf\"" + unusable},
     STATE(s.gammaOut == 2.4f)},
    {L"GammaCorrection,1e-30,3.4e38", {}, STATE(s.gammaIn == 1e-30f && s.gammaOut == 3.4e38f)},
    {L"PathConfigFile,C:/proj/paths.mxp", {}, STATE(s.usePathConfigFile && s.pathConfigFile == L"C:/proj/paths.mxp"),
     "Using alternate path config file C:/proj/paths.mxp"},
    {L"IgnoreRenderElementsByName,Reflection,Refraction", {}, STATE(s.ignoredRenderElementNames.size() == 2)},
    {L"IgnoreRenderElementsByName", {}, STATE(s.ignoredRenderElementNames.size() == 2),
     "IgnoreRenderElementsByName: did not specify any render elements to skip"},
    // Regions on the host's 640 x 480 output; the padding goes inside the image where it fits.
    {L"RegionRendering,10,100,50,300,250,CROP", {},
     STATE(s.regionRendering && s.regionType == 4 && s.regionPadding == 10 && s.regionLeft == 90 && s.regionTop == 40 && s.regionRight == 310 && s.regionBottom == 260 && s.regionLeftOver == 0 && s.regionBottomOver == 0),
     "Bottom: 260, over: 0"},
    {L"RegionRendering,20,0,0,640,480,NOCROP", {},
     STATE(s.regionType == 1 && s.regionLeft == 0 && s.regionRight == 640 && s.regionLeftOver == 20 && s.regionTopOver == 20 && s.regionRightOver == 20 && s.regionBottomOver == 20),
     "Bottom greater than height: 500"},
    {L"RegionRendering,2147483647,0,0,2147483647,10,NOCROP", {},
     STATE(s.regionLeft == 0 && s.regionRight == 640 && s.regionLeftOver == 2147483647 && s.regionRightOver == 2147483647)},
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
    {L"RegionRendering,0,100,0,420,240,BLOWUP", {},
     STATE(s.regionType == 4 && s.regionLeft == 200 && s.regionTop == 0 && s.regionRight == 840 && s.regionBottom == 480)},
};
// clang-format on

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
  for (const auto& c :
       {std::pair{L"TempFolder,C:\\farm", "unknown escape sequence"}, {L"TempFolder,b\\", "cannot end with escape"}}) {
    EXPECT_THAT([&] { dispatch(c.first); },
                ::testing::ThrowsMessage<boost::escaped_list_error>(::testing::StrEq(c.second)));
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

// A global of the script runtime, removed again when the test ends.
class ScopedGlobal {
 public:
  explicit ScopedGlobal(const wchar_t* name) : name_(Name::intern(name)) {}
  ~ScopedGlobal() { globals->remove(name_); }
  Value* get() const { return globals->get(name_); }
  void set(Value* value) const { globals->set(name_, value); }

 private:
  Name* name_;
};

class ScriptCommands : public DispatcherTest {
 protected:
  void SetUp() override { host::standalone::standalone_interface().reset(); }
  void TearDown() override { host::standalone::standalone_interface().reset(); }
  static TimeValue scene_time() { return GetCOREInterface()->GetTime(); }

  // The farm's script file, as it names it.
  std::wstring script_file(const std::string& content) const {
    std::ofstream(folder.path() + "/run.ms", std::ios::binary) << content;
    return testing::wide(folder.path() + "/run.ms");
  }
  testing::TempFolder folder;
  ScopedGlobal ran{L"scriptRan"};
};

// A literal with every character, NULs included.
template <std::size_t N>
std::wstring whole(const wchar_t (&text)[N]) {
  return std::wstring(text, N - 1);
}

const std::string failed = "ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was";
const std::string frame_error =
    "ERROR: ExecuteMaxScriptFile: Parameter 2 specifies the current frame (it is ignored if parameter 1 is false). "
    "This value must be an integer. Value received was: 'abc'.";

TEST_F(ScriptCommands, AFileScriptRepliesAfterStartedAndMovesTheSceneOnlyWhenAsked) {
  // In order: the first row sets frame 4 (640 ticks at 160 per frame); no later row may
  // move it, and no refused row may run its script.
  const struct {
    std::string script;
    std::wstring flags;
    std::string reply;
  } rows[] = {
      {"\"s\"", L"True,4,tRuE", "SUCCESS: s"},
      {"true", L"FALSE,9,FALSE", "SUCCESS"},
      {"", L"false,0,false", "SUCCESS"},
      {"1 == 2", L"false,0,false", failed + " false."},
      {"40 + 2", L"false,0,false", failed + ": 42."},
      {"\"true\"", L"false,0,false", failed + ": true."},
      {"\"caf\xC3\xA9\"", L"false,0,true", "SUCCESS: caf\xC3\xA9"},
      {"42", L"false,0,true",
       "ERROR: ExecuteMaxScriptFile: Requested a return string, but the script did not return a string. Value "
       "received was: '42'."},
      {"scriptRan = 1", L"yes,0,false",
       "ERROR: ExecuteMaxScriptFile: Parameter 1 specifies whether or not to set the current frame. It must be "
       "'true' or 'false'. Value received was: 'yes'."},
      {"scriptRan = 1", L"false,abc,false", frame_error},  // checked even when it is not used
      {"scriptRan = 1", L"true,5,Maybe",
       "ERROR: ExecuteMaxScriptFile: Parameter 3 specifies whether or not the value of the script's execution is "
       "returned as a string. It must be 'true' or 'false'. Value received was: 'Maybe'."},
      {"scriptRan = 1", L"true,13421773,false",
       "ERROR: ExecuteMaxScriptFile: Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
  };
  std::wstring file;
  for (const auto& row : rows) {
    file = script_file(row.script);
    EXPECT_EQ(dispatch(L"ExecuteMaxScriptFile," + file + L"," + row.flags), (Replies{"STARTED", row.reply}))
        << row.script;
  }
  EXPECT_EQ(scene_time(), 640);
  EXPECT_EQ(state.currentFrame, 4);
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_TRUE(log.contains_line("Set Time to 4"));
  EXPECT_TRUE(log.contains_line("Done Executing script " + to_string(file)));

  script_file("true");
  EXPECT_EQ(dispatch(L"ExecuteMaxScriptFile," + file + L",true,13421772,false"), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(scene_time(), 2147483520);
}

TEST_F(ScriptCommands, AStringScriptRepliesItsStringAndABadFrameOrCountBeforeStarted) {
  GetCOREInterface()->SetTime(160);
  const std::pair<std::wstring, Replies> rows[] = {
      // Plain quotes belong to the command: the script is the name abc.
      {L"ExecuteStringScript,0,\"abc\"", {"STARTED", "ERROR: Script did not return a string: undefined"}},
      {L"ExecuteStringScript,0,local x = 2; (x * 3) as string", {"STARTED", "SUCCESS: 6"}},
      // Unquoted, the part after a comma is a further field, ignored.
      {L"ExecuteStringScript,0,\\\"a\\\",\\\"b\\\"", {"STARTED", "SUCCESS: a"}},
      // The whole text runs as written: a comment on the last line, a NUL in a string.
      {whole(L"ExecuteStringScript,0,\\\"a\0b\\\""), {"STARTED", std::string("SUCCESS: a\0b", 12)}},
      {L"ExecuteStringScript,12,\\\"abc\\\"", {"STARTED", "SUCCESS: abc"}},
      {L"ExecuteStringScript,x,scriptRan = 1",
       {"ERROR: ExecuteScript: Parameter 1 , \"x\", is not a valid frame number."}},
      {L"ExecuteStringScript", {"ERROR: ExecuteScript: Expected 2 parameters, got 0"}},
      {L"ExecuteMaxScriptFile", {"STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 0"}},
      {L"ExecuteMaxScriptFile,a.ms,true,1", {"STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 3"}},
  };
  for (const auto& [command, replies] : rows) EXPECT_EQ(dispatch(command), replies) << to_string(command);
  EXPECT_EQ(state.currentFrame, 12);
  EXPECT_EQ(scene_time(), 160) << "a string script does not move the scene";
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_TRUE(log.contains_line("... Done Executing script "));

  // What a farm script makes while it runs is collected while it runs.
  host::script::collect_garbage();
  const std::size_t baseline = host::script::live_value_count();
  EXPECT_EQ(dispatch(L"ExecuteStringScript,0,for i = 1 to 100000 do (x = \\\"abc\\\" + \\\"def\\\"); x"),
            (Replies{"STARTED", "SUCCESS: abcdef"}));
  EXPECT_LT(host::script::live_value_count(), baseline + 50000) << "400000 values were made";
  globals->remove(Name::intern(L"x"));
}

TEST_F(ScriptCommands, TheLocalsGlobalIsAnArrayDuringTheScriptAndTheEarlierGlobalComesBack) {
  const ScopedGlobal locals(L"__paravelleMXSlocals__");
  EXPECT_EQ(dispatch(L"ExecuteStringScript,0,__paravelleMXSlocals__ as string"), (Replies{"STARTED", "SUCCESS: #()"}));
  EXPECT_EQ(locals.get(), nullptr) << "a global that did not exist is removed again";
  locals.set(new String(L"mine"));
  EXPECT_THROW(dispatch(L"ExecuteStringScript,0,__paravelleMXSlocals__ = 5; throw \\\"boom\\\""), std::runtime_error);
  EXPECT_EQ(replies.texts, Replies{"STARTED"});
  EXPECT_STREQ(locals.get()->to_string(), L"mine") << "restored after a failing script too";
}

}  // namespace
}  // namespace paravelle::daemon
