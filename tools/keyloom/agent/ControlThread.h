// How one connection's thread makes its control, per platform
// (ControlThreadPosix.cpp, ControlThreadWin32.cpp).
#pragma once

#include "keyloom/agent/ControlWorker.h"

// Prepares the calling thread as a browser's script thread (Simplified
// Chinese as its UI language when `chinese`, else English; on Windows a
// single-threaded apartment of its own) and creates one control there:
// through the loaded module's class factory on POSIX, through
// CoCreateInstance of the registered class on Windows, so that whatever is
// registered (per machine or per user) is used. Returns the control's
// IDispatch, which the caller releases before LeaveControlThread, or null
// when it cannot be created. LeaveControlThread follows in every case.
IDispatch* EnterControlThread(const AgentModule& module, bool chinese);

// Undoes EnterControlThread on the same thread.
void LeaveControlThread(const AgentModule& module);
