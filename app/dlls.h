// The program runs no code but the system's and its own. Windows looks for a
// library that is not one of its KnownDLLs in the program's own folder first,
// and then in the current one; a patch is run from a downloads folder that a
// drive-by download can put a DLL into. So, first thing at start-up, before
// anything can load a library by its bare name:
// - the search is limited to System32 where the system allows it
//   (SetDefaultDllDirectories), the current folder dropped otherwise
//   (SetDllDirectoryA, with an empty name);
// - the libraries that the system's own load by bare name during the run are
//   loaded from System32 by their full path, so that a later load by name
//   finds them loaded (one the system lacks is left out);
// - the common controls come from System32's COMCTL32.DLL by its full path:
//   the program imports nothing by name but KnownDLLs.
// Each call newer than the program's oldest system is looked up by name.
#pragma once

#include "app/patch.h"

void patch_lock_dll_search();
