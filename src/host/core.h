#pragma once
// The host's core interface: scene files, time, render settings, the current
// renderer, viewports and nodes, the default-action system, gamma and paths.

#include <string>

#include "host/bitmap.h"
#include "host/render.h"
#include "host/scene.h"
#include "host/types.h"

// Message types of the default-action system (missing dependencies at load).
constexpr int TYPE_MISSING_EXTERNAL_FILES = 1;
constexpr int TYPE_MISSING_DLL_FILES = 2;
constexpr int TYPE_MISSING_XREF_FILES = 3;
constexpr int TYPE_MISSING_UVWS = 4;

// Default actions (what the host does about a recorded message).
constexpr int DEFAULT_ACTION_IGNORE = 1;
constexpr int DEFAULT_ACTION_FAIL = 5;       // record, and fail the load
constexpr int DEFAULT_ACTION_FAIL_XREF = 7;  // record, and fail the load (XREFs)

// System log entry types and flags.
constexpr unsigned SYSLOG_ERROR = 1;
constexpr unsigned SYSLOG_BROADCAST_DIALOG = 1;

class Interface {
 public:
  virtual ~Interface() = default;

  // Scene files.
  virtual bool IsValidSceneFile(const wchar_t* file) = 0;
  // Loads a scene; false when it could not be loaded or a missing dependency failed it.
  virtual bool LoadFromFile(const wchar_t* file, unsigned flags) = 0;

  // Scene time.
  virtual void SetTime(TimeValue t, BOOL redraw = 1) = 0;
  virtual TimeValue GetTime() const = 0;

  // Render settings.
  virtual int GetRendWidth() const = 0;
  virtual int GetRendHeight() const = 0;
  virtual void SetRendWidth(int width) = 0;
  virtual void SetRendHeight(int height) = 0;
  virtual float GetRendApect() const = 0;
  virtual BOOL GetRendSaveFile() const = 0;
  virtual void SetRendSaveFile(BOOL save) = 0;
  virtual BitmapInfo& GetRendFileBI() = 0;
  virtual BOOL GetSkipRenderedFrames() const = 0;
  virtual void SetupRendParams(RendParams& params, ViewParams* view, int rendType) = 0;

  // The current renderer.
  virtual Renderer* GetCurrentRenderer(bool create_if_missing = true) = 0;
  virtual IRenderElementMgr* GetRenderElementMgr() = 0;
  // Returns non-zero when the renderer is open. Exactly one of camera and view is set.
  virtual int OpenCurRenderer(INode* camera, ViewExp* view, int rendType, int width, int height) = 0;
  // Renders one frame into `bitmap`; non-zero on success.
  virtual int CurRendererRenderFrame(TimeValue t, Bitmap* bitmap, RendProgressCallback* progress, float frameDuration,
                                     ViewParams* view, RECT* region) = 0;
  virtual void CloseCurRenderer() = 0;

  // Viewports and nodes.
  virtual ViewExp& GetActiveViewExp() = 0;
  virtual ViewExp& GetViewExp(int index) = 0;
  virtual INode* GetINodeByName(const wchar_t* name) = 0;

  // The default-action system: one action per message type, messages recorded at load.
  virtual void SetDefaultAction(int type, int action, int reserved1 = 0, int reserved2 = 0) = 0;
  virtual bool GetDefaultAction(int type, int& action) const = 0;
  virtual int NumRecordedMessages(int type) const = 0;
  virtual bool GetRecordedMessage(std::wstring& text, int type, int index) const = 0;

  // The system log; `dialog` also shows the entry to the user.
  virtual void LogEntry(unsigned type, unsigned dialog, const wchar_t* title, const wchar_t* text) = 0;

  // Drops caches the renderer kept for the job (called when a job ends).
  virtual void FlushRenderCaches(BOOL all) = 0;
};

class Interface8 : public Interface {};

class Interface11 : public Interface8 {
 public:
  // Non-zero when rendering follows the active viewport.
  virtual BOOL GetUseActiveViewForRender() const = 0;
};

class Interface14 : public Interface11 {
 public:
  // The viewport index rendering is locked to.
  virtual int GetRenderViewIndex() const = 0;
};

Interface* GetCOREInterface();
Interface8* GetCOREInterface8();
Interface11* GetCOREInterface11();
Interface14* GetCOREInterface14();

int GetTicksPerFrame();

// Gamma of image files read and written by the host.
class GammaMgr {
 public:
  virtual ~GammaMgr() = default;
  virtual void Enable(BOOL on) = 0;
  virtual BOOL IsEnabled() const = 0;
  virtual void SetFileInGamma(float gamma) = 0;
  virtual void SetFileOutGamma(float gamma) = 0;
  virtual float GetFileInGamma() const = 0;
  virtual float GetFileOutGamma() const = 0;
};

extern GammaMgr& gammaMgr;

// Project path configuration: folders the host searches for scene dependencies.
class IPathConfigMgr {
 public:
  virtual ~IPathConfigMgr() = default;
  static IPathConfigMgr* GetPathConfigMgr();
  virtual bool LoadPathConfiguration(const wchar_t* file) = 0;
  virtual bool MergePathConfiguration(const wchar_t* file) = 0;
};
