#pragma once
// The command dispatcher: one farm command in, its replies out.

#include <string>

#include "daemon/command_replies.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

// Splits, logs and executes one command; its replies go to `replies`, what a job's renderer
// and scripts report meanwhile to `connection`. Splitting errors and transport failures
// leave it for the session to handle.
void DispatchCommand(job::JobState& state, const std::wstring& command, CommandReplies& replies,
                     win32::simple_socket& connection);

}  // namespace paravelle::daemon
