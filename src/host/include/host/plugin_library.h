// Loading a plug-in library the way the engine does: by path, then only its
// two exported entry points. Shared by the tests, qvx-play and the
// benchmarks. This and plugin_library.cpp are the only places that speak to
// the operating system's loader (dlopen on Linux, LoadLibraryW on Windows).
#pragma once

#include <string>

#include "host/qvx.h"

namespace qvx_host {

// File name of the plug-in library on this platform.
extern const char* const plugin_file_name;

class PluginLibrary {
public:
    PluginLibrary() = default;
    // The library stays loaded: threads and SDL that the plug-in started may
    // still unwind through it at process exit.
    ~PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the library at path (UTF-8) and finds both entry points; false
    // with a message in error otherwise. Libraries it needs are looked for
    // beside it first.
    bool load(const std::string& path, std::string& error);
    bool loaded() const { return create_ != nullptr; }
    qvx::Plugin* create() const { return create_ ? create_() : nullptr; }
    int destroy(qvx::Plugin* plugin) const { return destroy_ ? destroy_(plugin) : 0; }

private:
    void* handle_ = nullptr;
    qvx_plugin_create_fn create_ = nullptr;
    qvx_plugin_destroy_fn destroy_ = nullptr;
};

// Folder of the running executable, UTF-8, with '/' separators (empty when
// unknown).
std::string executable_dir();

// CPU time this process has used so far, in user and in kernel mode.
void process_cpu_seconds(double& user_s, double& system_s);

}  // namespace qvx_host
