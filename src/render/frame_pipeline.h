#pragma once
// One frame of the open job: scene time, the frame's file names, bitmaps and render
// elements, the render (single or multipass), the black-frame test, the outputs, and
// everything put back for the next frame. Runs under the frame's machine-fault trap
// (CallRenderFrame).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/bitmap.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// Everything a frame makes, put back when the frame ends, however it ends: the main
// bitmap, the element bitmaps and accumulators, and the names the frame gave the
// descriptions. The frame's trapped call holds it outside the frame's own stack, which a
// machine fault abandons without running a destructor: put back after a fault too, no
// bitmap is left behind and no name carries this frame's number into the next frame's.
class FrameScope {
 public:
  explicit FrameScope(job::JobState& state);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

  void keep_main_bitmap(Bitmap* bitmap);
  // Gives the main description the frame's name; renderOutputName comes back.
  void name_output(const std::wstring& name);
  // Gives element `index` the frame's name; `saved` comes back.
  void name_element(std::size_t index, const std::wstring& saved, const std::wstring& name);
  // Frees the frame's bitmaps and restores the names now (once is enough).
  void restore();

 private:
  job::JobState& state_;
  Bitmap* mainBitmap_ = nullptr;
  bool outputNamed_ = false;
  std::vector<std::wstring> savedElementNames_;
};

// Renders and writes one frame, or skips it when its file exists and the settings say so.
// Every failure is a std::runtime_error whose text the farm receives. The frame's bitmaps
// are freed and its names restored before it returns or fails, and by `scope` after a
// trapped fault.
void RenderFrame(job::JobState& state, std::int32_t frame, win32::simple_socket& connection, FrameScope& scope);
// The same with a scope of its own, for a caller without a trap around the frame.
void RenderFrame(job::JobState& state, std::int32_t frame, win32::simple_socket& connection);

// RenderFrame under the machine-fault trap, as the RenderTask command and Debug_RenderFrame
// run it: 0 when the frame was finished or skipped; 1 after a fault, with trapText
// "Trapped SEH Exception in RenderFrame(): " and the fault's name (the crash report is then
// in lastCrashReport). The frame's bitmaps and names are put back on every way out, a fault
// included. A frame that fails raises a standard exception.
std::uint16_t CallRenderFrame(job::JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText);

// Deletes the frame's element bitmaps and accumulators (pointers become null).
void ReleaseRenderElementBitmaps(job::JobState& state);

}  // namespace paravelle::render
