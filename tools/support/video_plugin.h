// The plug-in loaded the way the engine loads it: its library by path, then
// one object made and destroyed through the library's two exports and
// reached only as a qvx::SimpleVideo.
#pragma once

#include <string>

#include "host/plugin_library.h"
#include "host/qvx.h"

namespace qvx_support {

class VideoPlugin {
public:
    VideoPlugin() = default;
    ~VideoPlugin() { reset(); }
    VideoPlugin(const VideoPlugin&) = delete;
    VideoPlugin& operator=(const VideoPlugin&) = delete;

    // Loads the library at path, kept with this object, then creates as
    // create does.
    bool load(const std::string& path, bool start, std::string& error);
    // Makes the object, initialises it and, when start, starts it; false
    // with a message in error when the library makes no video plug-in.
    bool create(const qvx_host::PluginLibrary& library, bool start, std::string& error);

    qvx::SimpleVideo* get() const { return video_; }
    qvx::SimpleVideo* operator->() const { return video_; }
    qvx::SimpleVideo& operator*() const { return *video_; }
    // Stops, terminates and destroys the object now. A host may have
    // stopped it already: the plug-in takes both calls twice. The library
    // stays loaded, as threads and SDL that the plug-in started may still
    // unwind through it at exit.
    void reset();

private:
    qvx_host::PluginLibrary own_library_;
    const qvx_host::PluginLibrary* library_ = nullptr;
    qvx::SimpleVideo* video_ = nullptr;
};

}  // namespace qvx_support
