// pdctl's exit statuses, as docs/PDCTL.md lists them for the scripts that
// run it.
#pragma once

namespace pdctl {

// Every command ran and the verifier saw nothing wrong.
inline constexpr int kExitSuccess = 0;
// A command could not run (a script or command line stops there).
inline constexpr int kExitCommandFailed = 1;
// The verifier reported a violation, at any point; it outranks a command that could not run.
inline constexpr int kExitVerifierReport = 2;

}  // namespace pdctl
