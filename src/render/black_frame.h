#pragma once
// Fails a frame whose share of dark pixels (dark colour, and transparent or opaque)
// reaches the job's minimum percentage.

#include "host/bitmap.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// Returns when the image passes; std::runtime_error with the farm's text when it is black.
void CheckBlackFrame(const job::JobState& state, Bitmap* bitmap, win32::simple_socket& connection);

}  // namespace paravelle::render
