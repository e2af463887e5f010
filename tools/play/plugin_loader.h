// Loading the video plug-in the way the host engine does: the library, then
// its two exported entry points, nothing else.
#pragma once

#include <string>

#include "host/plugin_library.h"
#include "host/qvx.h"

namespace qvx_play {

class LoadedPlugin {
public:
    LoadedPlugin() = default;
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    // Loads the library at path and creates the plug-in object; false with
    // a message in error when the library, an entry point or a video
    // plug-in is missing.
    bool load(const std::string& path, std::string& error);
    qvx::SimpleVideo* video() const { return video_; }
    const std::string& path() const { return path_; }
    // Destroys the plug-in object (the library stays loaded: threads and
    // SDL it started may still unwind through it at exit).
    void destroy();

private:
    qvx_host::PluginLibrary library_;
    qvx::Plugin* plugin_ = nullptr;
    qvx::SimpleVideo* video_ = nullptr;
    std::string path_;
};

// Where the plug-in is looked for: the explicit path when given, else next
// to the executable, then one folder up, then where the build put it.
std::string find_plugin(const std::string& explicit_path);

// Folder of the running executable (empty when unknown).
std::string executable_dir();

}  // namespace qvx_play
