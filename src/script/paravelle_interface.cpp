#include "script/paravelle_interface.h"

#include "daemon/session.h"
#include "job/farm_connection.h"
#include "job/job_state.h"
#include "script/debug_functions.h"
#include "script/farm_notifications.h"
#include "script/farm_requests.h"
#include "script/interface_properties.h"

namespace paravelle::script {

using job::farm_connection;
using job::job_state;

ParavelleInterface::ParavelleInterface() {
  using T = ParavelleInterface;
  max3d::fpwrapper::FFCreateDescriptor c(this, kInterfaceId, kInterfaceName, nullptr);
  c.function(&T::Debug_StartJob, L"Debug_StartJob", L"fileName", L"cameraName");
  c.function(&T::Debug_EndJob, L"Debug_EndJob");
  c.function(&T::Debug_RenderFrame, L"Debug_RenderFrame", L"frameIndex");
  c.function(&T::SetTitle, L"SetTitle", L"title");
  c.function(&T::SetProgress, L"SetProgress", L"percent");
  c.function(&T::FailRender, L"FailRender", L"message");
  c.function(&T::GetSubmitInfoEntry, L"GetSubmitInfoEntry", L"key");
  c.function(&T::GetSubmitInfoEntryElementCount, L"GetSubmitInfoEntryElementCount", L"key");
  c.function(&T::GetSubmitInfoEntryElement, L"GetSubmitInfoEntryElement", L"index", L"key");
  c.function(&T::GetJobInfoEntry, L"GetJobInfoEntry", L"key");
  c.function(&T::GetAuxFilename, L"GetAuxFilename", L"index");
  c.function(&T::GetOutputFilename, L"GetOutputFilename", L"index");
  c.function(&T::GetPathMappedFilename, L"GetPathMappedFilename", L"inputFilename");
  c.getter(&T::CurrentFrame, L"CurrentFrame");
  c.getter(&T::CurrentTask, L"CurrentTask");
  c.getter(&T::SceneFileName, L"SceneFileName");
  c.getter(&T::SceneFilePath, L"SceneFilePath");
  c.getter(&T::JobsDataFolder, L"JobsDataFolder");
  c.getter(&T::PluginsFolder, L"PluginsFolder");
  c.getter(&T::TempFolder, L"TempFolder");
  c.function(&T::LogMessage, L"LogMessage", L"message");
  c.function(&T::WarnMessage, L"WarnMessage", L"message");
  c.function(&T::RunParavelleDaemon, L"RunParavelleDaemon", L"portNumber", L"token");
}

bool ParavelleInterface::Debug_StartJob(const std::wstring& fileName, const std::wstring& cameraName) {
  return DebugStartJob(job_state, fileName, cameraName);
}
bool ParavelleInterface::Debug_EndJob() { return DebugEndJob(job_state); }
bool ParavelleInterface::Debug_RenderFrame(int frameIndex) { return DebugRenderFrame(job_state, frameIndex); }

void ParavelleInterface::SetTitle(const std::wstring& title) { script::SetTitle(farm_connection, title); }
bool ParavelleInterface::SetProgress(float percent) { return script::SetProgress(farm_connection, percent); }
void ParavelleInterface::FailRender(const std::wstring& message) { script::FailRender(message); }

Value* ParavelleInterface::GetSubmitInfoEntry(const std::wstring& key) {
  return script::GetSubmitInfoEntry(farm_connection, key);
}
int ParavelleInterface::GetSubmitInfoEntryElementCount(const std::wstring& key) {
  return script::GetSubmitInfoEntryElementCount(farm_connection, key);
}
Value* ParavelleInterface::GetSubmitInfoEntryElement(int index, const std::wstring& key) {
  return script::GetSubmitInfoEntryElement(farm_connection, index, key);
}
Value* ParavelleInterface::GetJobInfoEntry(const std::wstring& key) {
  return script::GetJobInfoEntry(farm_connection, key);
}
Value* ParavelleInterface::GetAuxFilename(int index) { return script::GetAuxFilename(farm_connection, index); }
Value* ParavelleInterface::GetOutputFilename(int index) { return script::GetOutputFilename(job_state, index); }
Value* ParavelleInterface::GetPathMappedFilename(const std::wstring& inputFilename) {
  return script::GetPathMappedFilename(farm_connection, inputFilename);
}

int ParavelleInterface::CurrentFrame() { return script::CurrentFrame(job_state); }
int ParavelleInterface::CurrentTask() { return script::CurrentTask(job_state); }
Value* ParavelleInterface::SceneFileName() { return script::SceneFileName(job_state); }
Value* ParavelleInterface::SceneFilePath() { return script::SceneFilePath(job_state); }
Value* ParavelleInterface::JobsDataFolder() { return script::JobsDataFolder(job_state); }
Value* ParavelleInterface::PluginsFolder() { return script::PluginsFolder(job_state); }
Value* ParavelleInterface::TempFolder() { return script::TempFolder(job_state); }

void ParavelleInterface::LogMessage(const std::wstring& message) { script::LogMessage(farm_connection, message); }
void ParavelleInterface::WarnMessage(const std::wstring& message) { script::WarnMessage(farm_connection, message); }

bool ParavelleInterface::RunParavelleDaemon(int portNumber, const std::wstring& token) {
  return daemon::RunParavelleDaemon(portNumber, token);
}

}  // namespace paravelle::script
