// Frame lists as people write them: "1-10", "1-3,7", "-2-2".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace paravelle::worker {

// More frames than any job renders; a typo like "1-1000000000" stops here instead of exhausting memory.
// The limit holds for a whole job, however many entries its frames are written in.
inline constexpr std::size_t kMaxFrames = 1000000;
inline constexpr const char* kTooManyFrames = "takes the job past 1000000 frames";

// Expands comma-separated frames and inclusive ranges in the order written (duplicates kept).
// Blanks around entries are allowed. Throws std::invalid_argument naming the offending entry.
std::vector<std::int32_t> expand_frame_ranges(std::string_view text);
// The same, appended to `frames`; the entry that would take them past kMaxFrames is refused
// before anything of it is added.
void append_frame_ranges(std::string_view text, std::vector<std::int32_t>& frames);

// The shortest text that expand_frame_ranges reads back as `frames`: runs of consecutive frames
// become ranges ("1-4,7,-2--1").
std::string frame_ranges_text(const std::vector<std::int32_t>& frames);

// `frames` in order, cut into pieces of `chunk` frames (the last may be shorter), each as a range text.
std::vector<std::string> frame_chunks(const std::vector<std::int32_t>& frames, std::size_t chunk);

}  // namespace paravelle::worker
