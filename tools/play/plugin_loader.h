// Where qvx-play finds the plug-in library.
#pragma once

#include <string>

namespace qvx_play {

// The explicit path when given, else next to the executable, then one
// folder up, then where the build put it.
std::string find_plugin(const std::string& explicit_path);

}  // namespace qvx_play
