#pragma once
// The one record of the job's state and of every setting the farm's commands set.
// Plain fields: the dispatcher, the job operations and the script functions read and
// write them directly, all on the host's main thread. The record lies below all of them
// (docs/dev/architecture.md), so each reaches it by including downward.

#include <cstdint>
#include <string>
#include <vector>

#include "host/bitmap.h"
#include "host/render.h"

class CameraObject;
class IMultiPassCameraEffect;
class INode;
class Interface8;
class Interface11;
class Interface14;
class IRenderElement;
class Object;
class ViewExp;

namespace paravelle::job {

// One enabled render element while the renderer stays open.
struct RenderElementSlot {
  IRenderElement* element = nullptr;  // the host's
  PBBitmap* output = nullptr;         // the host's: the element's description, whose name is its
                                      // file name, and the bitmap made for each frame
  Bitmap* accumulator = nullptr;      // multipass only: made and freed with each frame
};

struct JobState {
  bool jobRunning = false;
  bool restartRendererMode = false;
  bool rendererOpen = false;
  std::int32_t frameNumberBase = 0;
  bool showFrameBuffer = false;
  bool removePadding = false;
  bool localRendering = false;
  bool useOutputImageFilename = false;
  std::wstring outputImageFilename;
  bool useRenderElementFilenames = false;
  std::vector<std::wstring> renderElementFilenames;
  bool overrideSaveFile = false;
  bool saveFile = false;
  bool ignoreMissingExternalFiles = false;
  bool ignoreMissingUVWs = false;
  bool ignoreMissingDLLs = false;
  bool ignoreMissingXREFs = false;
  bool gammaCorrection = false;
  float gammaIn = 1.0f;
  float gammaOut = 1.0f;
  bool usePathConfigFile = false;
  std::wstring pathConfigFile;
  bool mergePathConfigFile = false;
  std::wstring tempFolder;
  std::wstring jobsDataFolder;
  std::wstring pluginsFolder;
  std::wstring sceneFileName;
  std::wstring sceneFilePath;
  bool failOnBlackFrames = false;
  std::int32_t blackPixelPercentage = 0;  // 0 to 100
  float blackPixelThreshold = 0.0f;       // 0.0 to 1.0
  bool blackFramesCheckRenderElements = false;
  bool useJpegOutput = false;
  std::wstring jpegOutputPath;
  bool useAltOutput = false;
  std::int32_t regionType = 0;  // the host's render type: 1 region, 4 region cropped
  bool regionRendering = false;
  // Left, top, right, bottom: handed to the renderer as a RECT of their values.
  std::int32_t regionLeft = 0;
  std::int32_t regionTop = 0;
  std::int32_t regionRight = 0;
  std::int32_t regionBottom = 0;
  std::int32_t regionPadding = 0;
  std::int32_t regionLeftOver = 0;
  std::int32_t regionTopOver = 0;
  std::int32_t regionRightOver = 0;
  std::int32_t regionBottomOver = 0;
  ViewExp* renderViewport = nullptr;  // the host's, never owned
  bool viewportLocked = false;
  std::int32_t lockedViewportIndex = -1;
  RendParams renderParams;  // filled when the renderer is opened
  std::int32_t currentFrame = 0;
  std::int32_t currentTask = 0;
  Interface8* coreInterface = nullptr;  // the host's, never owned
  Interface11* coreInterface11 = nullptr;
  Interface14* coreInterface14 = nullptr;
  // The frame pipeline's output state, settled each time the renderer is opened. During a
  // frame outputBitmapInfo carries the frame's file name; otherwise renderOutputName.
  BitmapInfo outputBitmapInfo;
  std::wstring renderOutputName;
  std::vector<RenderElementSlot> renderElements;  // the enabled elements, in the manager's order
  // The multipass decision, made when the renderer is opened.
  bool multipassEnabled = false;
  std::int32_t multipassPassCount = 0;
  IMultiPassCameraEffect* multipassEffect = nullptr;  // the host's, never owned
  bool disableMultipass = false;
  INode* renderCamera = nullptr;  // the host's, never owned
  CameraObject* renderCameraObject = nullptr;
  INode* multipassHolderNode = nullptr;  // a camera child named "Multipass" carrying the effect
  Object* multipassHolderObject = nullptr;
  bool rendererIsTypeA = false;
  bool rendererIsTypeB = false;
  bool rendererIsTypeC = false;
  bool renderElementsEnabled = true;
  std::vector<std::wstring> ignoredRenderElementNames;
  // The output files saved for the frame being rendered, in the order they were written:
  // emptied when a frame starts, appended to as each output is saved. Scripts read them
  // with TaskmereUtil.GetOutputFilename.
  std::vector<std::wstring> writtenOutputFiles;
  std::string lastCrashReport = "No message";
};

// What a job start resets before anything else: the per-task settings, which must
// therefore be sent after the job has started.
void reset_per_job_fields(JobState& state);

// The library's one record, defined with its other static objects (script/plugin_statics.cpp).
extern JobState job_state;

}  // namespace paravelle::job
