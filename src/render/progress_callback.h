#pragma once
// The renderer's progress callback: renderer titles become task log lines, and at most
// once a second across the process the counters become a task title with a percentage
// and a progress value on the farm connection. Called from the renderer's own threads;
// each message goes out whole. It never cancels a render.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/render.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// True for the titles a renderer shows while it renders (its progress goes into the
// task title instead of the log).
bool IsRenderingTitle(const std::wstring& title);

class ParavelleRenderCallback : public RendProgressCallback {
 public:
  ParavelleRenderCallback(win32::simple_socket& connection, std::wstring passLabel);
  ParavelleRenderCallback(const ParavelleRenderCallback&) = delete;
  ParavelleRenderCallback& operator=(const ParavelleRenderCallback&) = delete;

  void SetTitle(const wchar_t* title) override;
  int Progress(int done, int total) override;

  // One pass of a multipass render: the label, base and scale of its progress values.
  void SetPass(int pass, int total);

  // Set from the job's rendererIsTypeB: that renderer's routine titles stay out of the log.
  bool rendererFlag = false;

 private:
  win32::simple_socket* connection;
  std::mutex lock;
  std::wstring passLabel;
  std::wstring lastTitle;
  float passBase = 0.0f;
  float passScale = 1.0f;
};

// The tick of the last report that passed the rate limit, shared by every callback.
extern std::atomic<std::uint32_t> lastProgressTick;

}  // namespace paravelle::render
