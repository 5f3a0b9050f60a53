#pragma once

// The playground page's files (devserver/playground/), built into the program
// so that a dev server runs its page from anywhere, an installed tree too.

#include <string_view>

namespace devserver {

// The file's bytes; empty when there is no such file.
std::string_view PlaygroundFile(std::string_view name);

}  // namespace devserver
