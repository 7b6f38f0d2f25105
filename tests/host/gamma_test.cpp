#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/core.h"
#include "host/standalone/gamma_state.h"

namespace {

using paravelle::host::standalone::effective_input_gamma;
using paravelle::host::standalone::effective_output_gamma;

// The settings are the host's global ones; each test leaves them as it found them.
class GammaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    enabled_ = gammaMgr.IsEnabled();
    in_ = gammaMgr.GetFileInGamma();
    out_ = gammaMgr.GetFileOutGamma();
  }
  void TearDown() override {
    gammaMgr.Enable(enabled_);
    gammaMgr.SetFileInGamma(in_);
    gammaMgr.SetFileOutGamma(out_);
  }

 private:
  BOOL enabled_ = 0;
  float in_ = 0, out_ = 0;
};

TEST_F(GammaTest, StartsDisabledWithTheUsualDisplayGamma) {
  // Holds while every test that changes the settings restores them, as these do.
  EXPECT_FALSE(gammaMgr.IsEnabled());
  EXPECT_FLOAT_EQ(gammaMgr.GetFileInGamma(), 2.2f);
  EXPECT_FLOAT_EQ(gammaMgr.GetFileOutGamma(), 2.2f);
  EXPECT_EQ(effective_output_gamma(), 1.0f);
  EXPECT_EQ(effective_input_gamma(), 1.0f);
}

TEST_F(GammaTest, FileGammaCountsOnlyWhileEnabled) {
  gammaMgr.SetFileInGamma(1.8f);
  gammaMgr.SetFileOutGamma(2.4f);
  EXPECT_EQ(effective_output_gamma(), 1.0f);

  gammaMgr.Enable(1);
  EXPECT_EQ(gammaMgr.IsEnabled(), 1);
  EXPECT_EQ(effective_output_gamma(), 2.4f);
  EXPECT_EQ(effective_input_gamma(), 1.8f);

  gammaMgr.Enable(0);
  EXPECT_EQ(effective_output_gamma(), 1.0f);
  EXPECT_EQ(gammaMgr.GetFileOutGamma(), 2.4f);  // disabling keeps the values
}

TEST_F(GammaTest, UnusableValuesReadBackAsSetButCorrectNothing) {
  gammaMgr.Enable(1);
  for (const float gamma :
       {0.0f, -2.2f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    gammaMgr.SetFileOutGamma(gamma);
    gammaMgr.SetFileInGamma(gamma);
    const float stored = gammaMgr.GetFileOutGamma();
    EXPECT_TRUE(stored == gamma || (std::isnan(stored) && std::isnan(gamma)));
    EXPECT_EQ(effective_output_gamma(), 1.0f) << gamma;
    EXPECT_EQ(effective_input_gamma(), 1.0f) << gamma;
  }
}

}  // namespace
