// The commands a program sends to an open device, on ntsim and on Windows
// alike: open, close, read, write, describe, table, ioctl, and wait and
// cancel for what read and write sent with --async.
#pragma once

#include "command_args.h"

namespace pdctl {

void cmdOpen(Session& s, Args& a);
void cmdClose(Session& s, Args& a);
void cmdWrite(Session& s, Args& a);
void cmdRead(Session& s, Args& a);
void cmdDescribe(Session& s, Args& a);
void cmdTable(Session& s, Args& a);
void cmdIoctl(Session& s, Args& a);
void cmdWait(Session& s, Args& a);
void cmdCancel(Session& s, Args& a);

}  // namespace pdctl
