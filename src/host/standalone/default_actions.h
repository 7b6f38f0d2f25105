#pragma once
// The default-action system: per message type, what a load does about missing
// dependencies, and the messages the last load recorded.
//
// Actions: 1 ignores (the message is recorded, the load goes on); any other value
// fails the load after all messages are recorded. The host starts with 5 for
// external files, DLLs and UVWs and 7 for XREFs; 5 and 7 both mean "fail".

#include <array>
#include <string>
#include <vector>

namespace paravelle::host::standalone {

class DefaultActions {
 public:
  DefaultActions();

  // False for a type outside 1..4 (nothing changes).
  bool set_action(int type, int action);
  bool action(int type, int& action) const;

  void clear_messages();
  void record(int type, const std::wstring& text);
  int message_count(int type) const;
  bool message(int type, int index, std::wstring& text) const;

 private:
  static bool known(int type) { return type >= 1 && type <= 4; }
  std::array<int, 5> actions_{};
  std::array<std::vector<std::wstring>, 5> messages_;
};

}  // namespace paravelle::host::standalone
