// The application's default error display: every command runs inside one
// handler, so a failure it does not handle itself ends only that command.
#pragma once

#include <functional>
#include <string>

namespace duvo {

// Runs a command. EAbort is dropped silently; any other exception is shown
// in an error box and the program goes on.
void RunCommand(const std::function<void()>& command);

// The error box of the default display for one message.
void ShowException(const std::string& message);

}  // namespace duvo
