#include <algorithm>
#include <cmath>
#include <optional>
#include <limits>

#include "daemon/command_handlers.h"
#include "host/core.h"
#include "transport/number_format.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

struct Region {
  std::int64_t left, top, right, bottom;
};

// The host's render settings: the job's interface once a job started, the host's
// own before that (so a region sent before the first job does not reach a null).
Interface& render_settings(const JobState& state) {
  if (state.coreInterface) return *state.coreInterface;
  return *GetCOREInterface8();
}

bool fits_int32(double value) {
  return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

std::int32_t saturated(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

// Enlarges the output so that the region fills it; the region becomes a window of
// the old output size inside the enlarged image. Returns an error text, or nothing.
std::optional<std::string> blow_up(Interface& settings, Region& region) {
  const std::int64_t width = settings.GetRendWidth();
  const std::int64_t height = settings.GetRendHeight();
  if (region.right <= region.left)
    return "BLOWUP needs a region that is wider than zero pixels (left " + std::to_string(region.left) + ", right " +
           std::to_string(region.right) + ").";
  const double scale = static_cast<double>(width) / static_cast<double>(region.right - region.left);
  const double new_width = std::trunc(static_cast<double>(width) * scale);
  const double new_height = std::trunc(static_cast<double>(height) * scale);
  const double new_left = std::trunc(static_cast<double>(region.left) * scale);
  const double new_top = std::trunc(static_cast<double>(region.top) * scale);
  if (new_width < 1 || new_height < 1 || !fits_int32(new_width) || !fits_int32(new_height) ||
      !fits_int32(new_left + width) || !fits_int32(new_top + height) || !fits_int32(new_left) || !fits_int32(new_top))
    return "BLOWUP of a " + std::to_string(width) + " by " + std::to_string(height) +
           " output to this region does not give a valid image size.";
  settings.SetRendWidth(static_cast<int>(new_width));
  settings.SetRendHeight(static_cast<int>(new_height));
  region.left = static_cast<std::int64_t>(new_left);
  region.top = static_cast<std::int64_t>(new_top);
  region.right = region.left + width;
  region.bottom = region.top + height;
  return std::nullopt;
}

// One edge at the image's low border: what lies below 0 is the padding that did not fit.
void clamp_low_edge(const char* name, std::int64_t value, std::int32_t& edge, std::int32_t& over) {
  over = 0;
  if (value < 0) {
    log_setting(std::string(name) + " less than 0: " + std::to_string(value));
    over = saturated(-value);
    value = 0;
  }
  edge = saturated(value);
  log_setting(std::string(name) + ": " + format_number(edge) + ", over: " + format_number(over));
}

void clamp_high_edge(const char* name, const char* limit_name, std::int64_t value, std::int64_t limit,
                     std::int32_t& edge, std::int32_t& over) {
  over = 0;
  if (value > limit) {
    log_setting(std::string(name) + " greater than " + limit_name + ": " + std::to_string(value));
    over = saturated(value - limit);
    value = limit;
  }
  edge = saturated(value);
  log_setting(std::string(name) + ": " + format_number(edge) + ", over: " + format_number(over));
}

void apply_padding(JobState& state, const Region& region, Interface& settings) {
  const std::int64_t padding = state.regionPadding;
  clamp_low_edge("Left", region.left - padding, state.regionLeft, state.regionLeftOver);
  clamp_low_edge("Top", region.top - padding, state.regionTop, state.regionTopOver);
  clamp_high_edge("Right", "width", region.right + padding, settings.GetRendWidth(), state.regionRight,
                  state.regionRightOver);
  clamp_high_edge("Bottom", "height", region.bottom + padding, settings.GetRendHeight(), state.regionBottom,
                  state.regionBottomOver);
}

}  // namespace

void RegionRenderingCommand(const CommandContext& context) {
  JobState& state = context.state;
  // Switched on before anything is checked: a rejected region still renders as a region.
  state.regionRendering = true;
  if (context.parameter_count() != 6) return context.reply_count_error("RegionRendering", "6 parameters");

  const std::int32_t previous_padding = state.regionPadding;
  const auto padding = parse_int32(context.parameter(1));
  // A negative padding would move the edges into the region, and the output stage would
  // then cut image away instead of padding.
  if (!padding || *padding < 0)
    return context.reply(L"ERROR: RegionRendering: Parameter 1, \"" + context.parameter(1) +
                         L"\", is not a valid value for Padding.");
  state.regionPadding = *padding;

  static const wchar_t* const edge_names[] = {L"Left.", L"Top.", L"Right.", L"Bottom."};
  std::int64_t edges[4];
  for (std::size_t i = 0; i < 4; ++i) {
    const auto edge = parse_int32(context.parameter(i + 2));
    if (!edge)
      return context.reply(L"ERROR: RegionRendering: Parameter " + std::to_wstring(i + 2) + L", \"" +
                           context.parameter(i + 2) + L"\", is not a valid value for " + edge_names[i]);
    edges[i] = *edge;
  }
  Region region{edges[0], edges[1], edges[2], edges[3]};

  Interface& settings = render_settings(state);
  const std::wstring& mode = context.parameter(6);
  if (mode == L"NOCROP") {
    state.regionType = 1;
  } else if (mode == L"CROP") {
    state.regionType = 4;
  } else if (mode == L"BLOWUP") {
    if (const auto error = blow_up(settings, region)) {
      state.regionPadding = previous_padding;
      return context.reply("ERROR: RegionRendering: " + *error);
    }
    state.regionType = 4;
  } else {
    return context.reply(L"ERROR: RegionRendering: Parameter 6, \"" + mode + L"\", is not CROP, NOCROP, or BLOWUP.");
  }
  apply_padding(state, region, settings);
}

}  // namespace paravelle::daemon
