#pragma once
// TaskmereUtil, the plug-in's script interface: what scripts running on a render node
// call to talk to the farm, to read the job's state, and to start the daemon.
//
//   TaskmereUtil.RunParavelleDaemon 5000 "token"
//   TaskmereUtil.LogMessage "Rendering frame 12"
//   n = TaskmereUtil.GetSubmitInfoEntryElementCount "Frames"
//   f = TaskmereUtil.CurrentFrame

#include <string>

#include "script/fpwrapper/fpwrapper.h"

namespace paravelle::script {

class ParavelleInterface : public max3d::fpwrapper::FFStaticInterface<ParavelleInterface, 4> {
 public:
  static constexpr Interface_ID kInterfaceId{0x83928748, 0xA38F941E};
  static constexpr const wchar_t* kInterfaceName = L"TaskmereUtil";

  // Publishes the functions and properties below, ids 0 to 22 in declaration order.
  ParavelleInterface();

  bool Debug_StartJob(const std::wstring& fileName, const std::wstring& cameraName);
  bool Debug_EndJob();
  bool Debug_RenderFrame(int frameIndex);
  void SetTitle(const std::wstring& title);
  bool SetProgress(float percent);
  void FailRender(const std::wstring& message);
  Value* GetSubmitInfoEntry(const std::wstring& key);
  int GetSubmitInfoEntryElementCount(const std::wstring& key);
  Value* GetSubmitInfoEntryElement(int index, const std::wstring& key);
  Value* GetJobInfoEntry(const std::wstring& key);
  Value* GetAuxFilename(int index);
  Value* GetOutputFilename(int index);
  Value* GetPathMappedFilename(const std::wstring& inputFilename);
  // Properties.
  int CurrentFrame();
  int CurrentTask();
  Value* SceneFileName();
  Value* SceneFilePath();
  Value* JobsDataFolder();
  Value* PluginsFolder();
  Value* TempFolder();

  void LogMessage(const std::wstring& message);
  void WarnMessage(const std::wstring& message);
  // Runs the daemon on the library's job state and connection (see daemon/session.h).
  bool RunParavelleDaemon(int portNumber, const std::wstring& token);
};

// The library's one instance, defined with its other static objects.
extern ParavelleInterface paravelle_interface;

}  // namespace paravelle::script
