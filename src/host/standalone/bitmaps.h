#pragma once
// The standalone host's bitmaps and the manager that makes them (TheManager).
//
// Output: OpenOutput checks the description (a name, a size, a known image
// extension, an existing folder) and remembers it; Write writes the whole image
// through the image-file writer; Close forgets the open output. Codes (BMMRES_*):
//   OpenOutput: UNKNOWN_FORMAT, FOLDER_MISSING, NOT_WRITABLE (no name), INVALID_SIZE;
//   Write: NOT_OPEN before a successful OpenOutput, else the writer's code (a failure's
//     cause, the writer's own message, goes to the host's log under "Bitmap output");
//   Close: NOT_OPEN when nothing is open, else SUCCESS.
// Write's frame argument is accepted and ignored: the host writes single images.
//
// Display: the host has no windows. Display marks a bitmap shown, UnDisplay (or
// deleting it) hides it; display_counters() tells tests what was shown.
//
// PrepareGChannels does nothing: the host's bitmaps carry colour and alpha only;
// depth, normals and the like reach the plug-in as render elements.

#include <cstdint>

#include "host/bitmap.h"

namespace paravelle::host::standalone {

struct DisplayCounters {
  std::int64_t shown_now = 0;      // bitmaps currently shown
  std::int64_t display_calls = 0;  // Display calls since start (or the last reset)
  std::int64_t undisplay_calls = 0;
};

DisplayCounters display_counters();
void reset_display_counters();

// Live bitmaps made by TheManager and not yet deleted (for leak checks in tests).
std::int64_t live_bitmap_count();

// The largest image TheManager makes, in pixels; larger requests give null.
inline constexpr std::int64_t kMaxBitmapPixels = std::int64_t{1} << 28;

}  // namespace paravelle::host::standalone
