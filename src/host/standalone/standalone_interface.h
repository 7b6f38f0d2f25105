#pragma once
// The standalone host's core interface: one object for GetCOREInterface and its
// versions 8, 11 and 14. It holds the current scene (an empty scene with the usual
// defaults until a file is loaded), the scene time, the default-action system and
// the open renderer. Main thread only, like the host it stands in for.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/core.h"
#include "host/standalone/default_actions.h"
#include "host/standalone/loaded_scene.h"
#include "host/standalone/render_session.h"

namespace paravelle::host::standalone {

// Load flags (bits; the plug-in passes 14 = no prompts | file units | refresh). The
// standalone host never prompts, has one unit system and no viewports to redraw, so
// every bit is accepted and none changes what a load does.
inline constexpr unsigned kLoadNoPrompts = 0x2;
inline constexpr unsigned kLoadUseFileUnits = 0x4;
inline constexpr unsigned kLoadRefreshViewports = 0x8;

struct LogRecord {
  unsigned type = 0;
  std::wstring title;
  std::wstring text;
};

class StandaloneInterface : public Interface14 {
 public:
  StandaloneInterface();

  bool IsValidSceneFile(const wchar_t* file) override;
  bool LoadFromFile(const wchar_t* file, unsigned flags) override;

  void SetTime(TimeValue t, BOOL redraw = 1) override;
  TimeValue GetTime() const override { return time_; }

  int GetRendWidth() const override { return settings().width; }
  int GetRendHeight() const override { return settings().height; }
  void SetRendWidth(int width) override;
  void SetRendHeight(int height) override;
  float GetRendApect() const override { return settings().pixel_aspect; }
  BOOL GetRendSaveFile() const override { return settings().save_file; }
  void SetRendSaveFile(BOOL save) override { scene_->spec().render.save_file = save != 0; }
  BitmapInfo& GetRendFileBI() override;
  BOOL GetSkipRenderedFrames() const override { return settings().skip_rendered_frames; }
  void SetupRendParams(RendParams& params, ViewParams* view, int rendType) override;

  Renderer* GetCurrentRenderer(bool create_if_missing = true) override;
  IRenderElementMgr* GetRenderElementMgr() override { return &scene_->elements(); }
  int OpenCurRenderer(INode* camera, ViewExp* view, int rendType, int width, int height) override;
  int CurRendererRenderFrame(TimeValue t, Bitmap* bitmap, RendProgressCallback* progress, float frameDuration,
                             ViewParams* view, RECT* region) override;
  void CloseCurRenderer() override;

  ViewExp& GetActiveViewExp() override;
  ViewExp& GetViewExp(int index) override;
  INode* GetINodeByName(const wchar_t* name) override;

  void SetDefaultAction(int type, int action, int reserved1 = 0, int reserved2 = 0) override;
  bool GetDefaultAction(int type, int& action) const override { return actions_.action(type, action); }
  int NumRecordedMessages(int type) const override { return actions_.message_count(type); }
  bool GetRecordedMessage(std::wstring& text, int type, int index) const override;

  void LogEntry(unsigned type, unsigned dialog, const wchar_t* title, const wchar_t* text) override;
  // The host keeps no render caches between frames (each frame evaluates the scene
  // anew), so flushing only closes a renderer left open; flushes are counted.
  void FlushRenderCaches(BOOL all) override;

  BOOL GetUseActiveViewForRender() const override { return scene_->spec().render_active_viewport; }
  int GetRenderViewIndex() const override { return scene_->spec().locked_viewport; }

  // Raises the scene's faults of this kind of call; true when one asks the call to fail.
  // Public for the bitmaps, whose writes are such a call.
  bool injected_fault(FaultSpec::When when);

  // For tests and the node.
  LoadedScene& scene() { return *scene_; }
  bool renderer_open() const { return session_.is_open(); }
  std::vector<LogRecord> log_records() const;
  void clear_log_records();
  int flush_count() const { return flushes_; }
  // Back to the start-up state: empty scene, time 0, default actions, renderer closed.
  void reset();

 private:
  const RenderSettingsSpec& settings() const { return scene_->spec().render; }
  bool fail_load(const std::wstring& message);
  bool missing_files_fail_load(const LoadedScene& candidate, const std::wstring& file);
  void report(const std::wstring& text);

  std::unique_ptr<LoadedScene> scene_;
  TimeValue time_ = 0;
  DefaultActions actions_;
  RenderSession session_;
  BitmapInfo rend_file_bi_;
  StandaloneViewport fallback_viewport_{ViewportSpec{}, nullptr};
  mutable std::mutex log_mutex_;
  std::vector<LogRecord> log_;
  int flushes_ = 0;
};

StandaloneInterface& standalone_interface();

}  // namespace paravelle::host::standalone
