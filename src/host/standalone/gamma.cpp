// The host's gamma settings for image files. Like the original host they start disabled
// with 2.2 for both directions, so enabling correction alone gives the usual display
// gamma. The renderer's threads read them while the main thread may change them, hence
// atomics.

#include <atomic>
#include <cmath>

#include "host/core.h"
#include "host/standalone/gamma_state.h"

namespace paravelle::host::standalone {
namespace {

constexpr float kDefaultGamma = 2.2f;

class StandaloneGamma final : public GammaMgr {
 public:
  constexpr StandaloneGamma() = default;

  void Enable(BOOL on) override { enabled_.store(on != 0); }
  BOOL IsEnabled() const override { return enabled_.load() ? 1 : 0; }
  // Stored as given so the settings read back exactly; a value no curve can use counts as
  // "no correction" where it is applied (see usable()).
  void SetFileInGamma(float gamma) override { in_.store(gamma); }
  void SetFileOutGamma(float gamma) override { out_.store(gamma); }
  float GetFileInGamma() const override { return in_.load(); }
  float GetFileOutGamma() const override { return out_.load(); }

 private:
  std::atomic<bool> enabled_{false};
  std::atomic<float> in_{kDefaultGamma};
  std::atomic<float> out_{kDefaultGamma};
};

constinit StandaloneGamma standalone_gamma;

// A gamma of zero, a negative one or NaN would turn every pixel into 0, 1 or NaN.
float usable(float gamma) { return std::isfinite(gamma) && gamma > 0.0f ? gamma : 1.0f; }

}  // namespace

float effective_output_gamma() {
  return standalone_gamma.IsEnabled() ? usable(standalone_gamma.GetFileOutGamma()) : 1.0f;
}

float effective_input_gamma() {
  return standalone_gamma.IsEnabled() ? usable(standalone_gamma.GetFileInGamma()) : 1.0f;
}

}  // namespace paravelle::host::standalone

GammaMgr& gammaMgr = paravelle::host::standalone::standalone_gamma;
