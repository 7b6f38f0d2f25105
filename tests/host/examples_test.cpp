// The example scenes shipped for the demo load, are valid and hold what the demo uses.

#include <gmock/gmock.h>

#include <cstdlib>

#include "host_fixture.h"

namespace {

std::wstring example(const std::string& name) {
  const char* from_environment = std::getenv("PARAVELLE_SOURCE_DIR");
  const std::string root = from_environment ? from_environment : PARAVELLE_SOURCE_DIR_DEFAULT;
  return paravelle::host_test::ScratchFolder::wide(root + "/examples/scenes/" + name);
}

class Examples : public paravelle::host_test::HostTest {};

TEST_F(Examples, SpinningSpheresHasTwoElementsAndADepthOfFieldCamera) {
  const std::wstring file = example("spinning-spheres.json");
  ASSERT_TRUE(host().IsValidSceneFile(file.c_str()));
  ASSERT_TRUE(host().LoadFromFile(file.c_str(), 14)) << listener_text();
  EXPECT_EQ(host().GetRenderElementMgr()->NumRenderElements(), 2);
  INode* camera = host().GetActiveViewExp().GetViewCamera();
  ASSERT_NE(camera, nullptr);
  auto* object = static_cast<CameraObject*>(camera->EvalWorldState(0));
  Interval valid;
  EXPECT_EQ(object->GetMultiPassEffectEnabled(0, valid), 1);
  EXPECT_EQ(object->GetIMultiPassCameraEffect()->TotalPasses(0), 6);
}

TEST_F(Examples, ViewportRenderIsLockedToAPerspectiveView) {
  const std::wstring file = example("viewport-render.json");
  ASSERT_TRUE(host().IsValidSceneFile(file.c_str()));
  ASSERT_TRUE(host().LoadFromFile(file.c_str(), 14)) << listener_text();
  EXPECT_FALSE(host().GetUseActiveViewForRender());
  EXPECT_EQ(host().GetViewExp(host().GetRenderViewIndex()).GetViewCamera(), nullptr);
}

TEST_F(Examples, MissingFilesLoadsOnlyWhenEveryTypeIsIgnored) {
  const std::wstring file = example("missing-files.json");
  ASSERT_TRUE(host().IsValidSceneFile(file.c_str()));
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  for (int type = 1; type <= 4; ++type) host().SetDefaultAction(type, DEFAULT_ACTION_IGNORE);
  ASSERT_TRUE(host().LoadFromFile(file.c_str(), 14)) << listener_text();
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_EXTERNAL_FILES), 2);
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_XREF_FILES), 1);
}

}  // namespace
