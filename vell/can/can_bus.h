// The platform's binding of the CAN bus library (can/can_library.h).
//
// The library is bound at run time by name ("VellCANopen.dll", looked for beside the program
// and then on the system's library path, platform/dynlib.h), or a table of functions linked
// into the program (the virtual CAN bridge) is put in its place. Until either happens, and
// after can_bus_unload, every function of can_bus() fails as a library failure would: status
// -1, nothing written to its out-parameters, no callback ever. Nothing crashes for want of the
// library.
//
// Binding and unbinding are not safe while other threads call the library: bind before the
// instrument starts, unbind after it stopped.
#pragma once

#include <cstdint>

#include "vell/can/can_library.h"

// The functions in use: the bound library, a table put in place, or the failing stand-ins.
const can_bus_table& can_bus();

// Loads the library by name (default CAN_LIBRARY) and binds its 17 functions. 0;
// ERR_CAN_NOT_AVAIL when the library cannot be loaded or lacks a function (nothing is bound
// then, and one line names the cause).
int32_t can_bus_load(const char* name = nullptr);

// Puts a linked table in place of the library; missing functions fail with status -1.
// version_high is the version it reports (major << 16 | minor).
void can_bus_use(const can_bus_table& table, uint32_t version_high = 0);

// Back to the failing stand-ins; a loaded library is unloaded.
void can_bus_unload();

// True while a library is loaded or a table is in use.
bool can_bus_bound();

// File version of the library in use: major and minor from the high-order half of its version
// (Windows: the DLL's version resource; elsewhere: the optional CAN_GetFileVersion entry
// point). 0.0 when it has none, or no library is in use.
void can_bus_version(uint16_t* major, uint16_t* minor);

// Native file name or path of the loaded library, empty when none is loaded.
const char* can_bus_file();
