// The commands of a pdctl script or prompt, what they send and how their
// results read.
#pragma once

#include "script_parser.h"

#include <string>
#include <string_view>
#include <vector>

namespace pdctl {

class Session;

// Runs one command; throws CommandError when it cannot run.
void runCommand(Session& session, const Command& command);
// Every command's usage, or one command's usage and explanation.
std::string helpText(std::string_view command = {});
// The names of the commands, in help's order (for completion at the prompt).
std::vector<std::string_view> commandList();
// The quit command: the prompt or script ends here.
bool isQuit(const Command& command);

}  // namespace pdctl
