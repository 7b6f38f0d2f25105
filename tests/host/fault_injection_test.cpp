// Faults a scene asks for reach the process as the matching signal, at load, at
// renderer open and while rendering the chosen frame; "fail" is a plain failure.

#include <gmock/gmock.h>

#include <unistd.h>

#include <csignal>

#include "host_fixture.h"
#include "support/sanitizers.h"

namespace {

using paravelle::testing::fault_report;
using paravelle::testing::killed_by_fault;

class FaultInjection : public paravelle::host_test::HostTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HostTest::SetUp();
  }
  std::wstring scene_with_fault(const char* when, const char* kind, int frame = 2) {
    nlohmann::json scene = paravelle::host_test::small_scene();
    nlohmann::json fault = {{"when", when}, {"kind", kind}};
    if (std::string(when) == "render") fault["frame"] = frame;
    scene["faults"] = nlohmann::json::array({fault});
    return paravelle::host_test::ScratchFolder::wide(
        folder_.write(std::string(when) + "-" + kind + ".json", scene.dump()));
  }
  int open() { return host().OpenCurRenderer(host().GetINodeByName(L"Camera01"), nullptr, 1, 64, 48); }
  int render_frame(int frame) {
    const paravelle::host_test::BitmapPtr bitmap = paravelle::host_test::make_bitmap(64, 48);
    return host().CurRendererRenderFrame(frame * 160, bitmap.get(), nullptr, 1.0f, nullptr, nullptr);
  }
};

TEST_F(FaultInjection, EachKindRaisesItsSignal) {
  for (const auto& [kind, signal] :
       {std::pair{"write", SIGSEGV}, {"read_null", SIGSEGV}, {"recursion", SIGSEGV}, {"divide_by_zero", SIGFPE}}) {
    EXPECT_EXIT(host().LoadFromFile(scene_with_fault("load", kind).c_str(), 14), killed_by_fault(signal),
                fault_report(signal))
        << kind;
  }
}

TEST_F(FaultInjection, OpenAndRenderFaultsHappenWhereTheSceneSaysOnly) {
  ASSERT_TRUE(host().LoadFromFile(scene_with_fault("open", "read_null").c_str(), 14));
  EXPECT_EXIT(open(), killed_by_fault(SIGSEGV), fault_report(SIGSEGV));

  ASSERT_TRUE(host().LoadFromFile(scene_with_fault("render", "divide_by_zero", 2).c_str(), 14));
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(render_frame(1), 1);
  EXPECT_EXIT(render_frame(2), killed_by_fault(SIGFPE), fault_report(SIGFPE));
  EXPECT_EQ(render_frame(3), 1);
}

TEST_F(FaultInjection, HangNeverReturnsFromTheChosenFrame) {
  ASSERT_TRUE(host().LoadFromFile(scene_with_fault("render", "hang", 2).c_str(), 14));
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(render_frame(1), 1);
  // The alarm ends the child only if the frame neither returned nor crashed first.
  EXPECT_EXIT((::alarm(1), render_frame(2)), ::testing::KilledBySignal(SIGALRM), "");
}

TEST_F(FaultInjection, FailIsAPlainFailureResult) {
  EXPECT_FALSE(host().LoadFromFile(scene_with_fault("load", "fail").c_str(), 14));
  EXPECT_THAT(listener_text(), ::testing::HasSubstr("the scene's fault injection fails the load"));
  ASSERT_TRUE(host().LoadFromFile(scene_with_fault("open", "fail").c_str(), 14));
  EXPECT_EQ(open(), 0);
  EXPECT_FALSE(host().renderer_open());
  ASSERT_TRUE(host().LoadFromFile(scene_with_fault("render", "fail", 4).c_str(), 14));
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(render_frame(4), 0);
  EXPECT_EQ(render_frame(5), 1);
}

}  // namespace
