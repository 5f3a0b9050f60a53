#pragma once

// The full path of the plug-in's own library file, as UTF-8. The host hands
// out each plug-in's chat relay by that path.
//
// The only platform-specific code of the plug-in: the module that holds this
// function's own code is asked for its file name.

#include <string>

namespace qb {

std::string OwnLibraryPath();

}  // namespace qb
