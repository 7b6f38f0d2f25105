// A file of its own: what a job start resets, kept beside the record whose fields it names.

#include "job/job_state.h"

namespace paravelle::job {

void reset_per_job_fields(JobState& state) {
  state.rendererIsTypeA = false;
  state.rendererIsTypeB = false;
  state.rendererIsTypeC = false;
  state.overrideSaveFile = false;
  state.saveFile = false;
  state.frameNumberBase = 0;
  state.showFrameBuffer = true;
  state.removePadding = false;
  state.restartRendererMode = false;
  state.failOnBlackFrames = false;
  state.blackPixelPercentage = 0;
  state.blackPixelThreshold = 0.1f;
  state.blackFramesCheckRenderElements = false;
  state.useJpegOutput = false;
  state.jpegOutputPath.clear();
  state.useAltOutput = true;
  state.regionRendering = false;
  state.regionType = 0;
  state.regionLeft = state.regionTop = state.regionRight = state.regionBottom = 0;
  state.regionPadding = 0;
  state.regionLeftOver = state.regionTopOver = state.regionRightOver = state.regionBottomOver = 0;
  state.localRendering = false;
  state.useOutputImageFilename = false;
  state.useRenderElementFilenames = false;
}

}  // namespace paravelle::job
