// The common library's process-wide objects for a host program. Link this
// (the common_library_instance target) into a program that uses the
// library's process-wide logger, symbol engine or charset table; the DLL
// defines its own among its globals instead.

#include "common/common_library.h"

CommonLibrary g_commonLibrary;
