#pragma once

// The full path of the plug-in's own library file, as UTF-8. The host hands
// out each plug-in's chat relay by that path, so it is absolute even when the
// library was opened by a relative name and the working directory has changed
// since. The module that holds this function's own code is asked for its file
// name (GetModuleFileNameW on Windows; elsewhere dladdr, once, while the
// library loads).

#include <string>

namespace qb {

std::string OwnLibraryPath();

}  // namespace qb
