#include "host/standalone/default_actions.h"

#include "host/core.h"

namespace paravelle::host::standalone {

DefaultActions::DefaultActions() {
  actions_[TYPE_MISSING_EXTERNAL_FILES] = DEFAULT_ACTION_FAIL;
  actions_[TYPE_MISSING_DLL_FILES] = DEFAULT_ACTION_FAIL;
  actions_[TYPE_MISSING_XREF_FILES] = DEFAULT_ACTION_FAIL_XREF;
  actions_[TYPE_MISSING_UVWS] = DEFAULT_ACTION_FAIL;
}

bool DefaultActions::set_action(int type, int action) {
  if (!known(type)) return false;
  actions_[static_cast<std::size_t>(type)] = action;
  return true;
}

bool DefaultActions::action(int type, int& action) const {
  if (!known(type)) return false;
  action = actions_[static_cast<std::size_t>(type)];
  return true;
}

void DefaultActions::clear_messages() {
  for (auto& list : messages_) list.clear();
}

void DefaultActions::record(int type, const std::wstring& text) {
  if (known(type)) messages_[static_cast<std::size_t>(type)].push_back(text);
}

int DefaultActions::message_count(int type) const {
  return known(type) ? static_cast<int>(messages_[static_cast<std::size_t>(type)].size()) : 0;
}

bool DefaultActions::message(int type, int index, std::wstring& text) const {
  if (!known(type) || index < 0 || index >= message_count(type)) return false;
  text = messages_[static_cast<std::size_t>(type)][static_cast<std::size_t>(index)];
  return true;
}

}  // namespace paravelle::host::standalone
