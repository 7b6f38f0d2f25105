// The multipass effects as the plug-in drives them: passes, views per pass, the
// running average of AccumulateBitmap.

#include "host/standalone/camera_effects.h"

#include <gmock/gmock.h>

#include <cmath>

#include "host/standalone/camera_view.h"
#include "host_fixture.h"

namespace {

using paravelle::host::standalone::Vector3;

using paravelle::host_test::BitmapPtr;

BitmapPtr filled(float value) {
  BitmapPtr bitmap = paravelle::host_test::make_bitmap(2, 1);
  bitmap->Storage()->PutPixel(0, 0, {value, value * 2, 0, 1});
  bitmap->Storage()->PutPixel(1, 0, {-value, 0, value, 0});
  return bitmap;
}

Vector3 position(const ViewParams& view) {
  return {view.affineTM.row[3].x, view.affineTM.row[3].y, view.affineTM.row[3].z};
}

Vector3 forward(const ViewParams& view) {
  return {-view.affineTM.row[2].x, -view.affineTM.row[2].y, -view.affineTM.row[2].z};
}

class CameraEffects : public paravelle::host_test::HostTest {
 protected:
  CameraObject* camera_object(const char* effect_json) {
    nlohmann::json scene = paravelle::host_test::small_scene();
    scene["nodes"][0]["multipass"] = nlohmann::json::parse(effect_json);
    load(scene);
    return static_cast<CameraObject*>(host().GetINodeByName(L"Camera01")->EvalWorldState(0));
  }
};

TEST_F(CameraEffects, AccumulateBitmapKeepsTheExactRunningAverage) {
  CameraObject* camera = camera_object(R"({"type": "depth_of_field", "passes": 3})");
  IMultiPassCameraEffect* effect = camera->GetIMultiPassCameraEffect();
  BitmapPtr sum = filled(std::nanf(""));
  const float values[] = {0.3f, 0.6f, 1.2f};
  for (int pass = 0; pass < 3; ++pass) effect->AccumulateBitmap(sum.get(), filled(values[pass]).get(), pass, 0);
  BMM_Color_fl colour;
  sum->Storage()->GetPixel(0, 0, colour);
  EXPECT_FLOAT_EQ(colour.r, 0.7f);
  EXPECT_FLOAT_EQ(colour.g, 1.4f);
  EXPECT_FLOAT_EQ(colour.a, 1.0f);
  sum->Storage()->GetPixel(1, 0, colour);
  EXPECT_FLOAT_EQ(colour.r, -0.7f);
  EXPECT_FLOAT_EQ(colour.b, 0.7f);
  EXPECT_FLOAT_EQ(colour.a, 0.0f);
}

TEST_F(CameraEffects, DepthOfFieldMovesTheLensAndKeepsTheFocalPoint) {
  CameraObject* camera =
      camera_object(R"({"type": "depth_of_field", "passes": 8, "aperture": 0.5, "focal_distance": 10})");
  Interval valid;
  EXPECT_EQ(camera->GetMultiPassEffectEnabled(0, valid), 1);
  IMultiPassCameraEffect* effect = camera->GetIMultiPassCameraEffect();
  EXPECT_EQ(effect->ClassID(), Class_ID(0x50444F46, 0x00000001));
  EXPECT_EQ(effect->TotalPasses(0), 8);
  INode* node = host().GetINodeByName(L"Camera01");
  for (int pass = 0; pass < 8; ++pass) {
    TimeValue t = 320;
    const ViewParams view = *effect->Apply(node, camera, pass, t);
    EXPECT_EQ(t, 320);
    const Vector3 lens = position(view);
    EXPECT_NEAR(lens.y, -10, 1e-5);
    const double offset = std::hypot(lens.x, lens.z);
    EXPECT_LE(offset, 0.5 + 1e-6);
    if (pass == 0) {
      EXPECT_NEAR(offset, 0, 1e-6) << "pass 0 is the lens centre";
    } else {
      EXPECT_GT(offset, 0.01);
    }
    EXPECT_EQ(view.aperture, 0.0f);
    const Vector3 focus = position(view) + forward(view) * view.focalDistance;
    EXPECT_NEAR(focus.x, 0, 1e-4);
    EXPECT_NEAR(focus.y, 0, 1e-4);
    EXPECT_NEAR(focus.z, 0, 1e-4);
    TimeValue again = 320;
    EXPECT_EQ(position(*effect->Apply(node, camera, pass, again)).x, lens.x) << "passes are deterministic";
  }
}

TEST_F(CameraEffects, MotionBlurSpreadsThePassTimesOverTheSpread) {
  CameraObject* camera = camera_object(
      R"({"type": "motion_blur", "passes": 5, "time_spread": 1, "class_id": ["0x6cc9546e", "0x0b1961b9"]})");
  IMultiPassCameraEffect* effect = camera->GetIMultiPassCameraEffect();
  EXPECT_EQ(effect->ClassID(), Class_ID(0x6cc9546e, 0x0b1961b9));
  const TimeValue expected[] = {1520, 1560, 1600, 1640, 1680};
  for (int pass = 0; pass < 5; ++pass) {
    TimeValue t = 1600;
    ASSERT_NE(effect->Apply(nullptr, camera, pass, t), nullptr);
    EXPECT_EQ(t, expected[pass]);
  }
}

TEST_F(CameraEffects, ADisabledOrMissingEffectIsReported) {
  CameraObject* camera = camera_object(R"({"type": "depth_of_field", "enabled": false})");
  Interval valid;
  EXPECT_EQ(camera->GetMultiPassEffectEnabled(0, valid), 0);
  load(paravelle::host_test::small_scene(), "plain.json");
  auto* plain = static_cast<CameraObject*>(host().GetINodeByName(L"Camera01")->EvalWorldState(0));
  EXPECT_EQ(plain->GetMultiPassEffectEnabled(0, valid), 0);
  EXPECT_EQ(plain->GetIMultiPassCameraEffect(), nullptr);
  EXPECT_EQ(plain->ClassID(), Class_ID(0x5043414D, 0x00000001));
}

}  // namespace
