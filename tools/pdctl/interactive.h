// The prompt: line editing and history (GNU readline where pdctl was built
// with it), commands run as they are typed, errors reported and passed over.
#pragma once

namespace pdctl {

class Session;

void runInteractive(Session& session);

}  // namespace pdctl
