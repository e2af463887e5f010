#include "plugin_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace qvx_play {

namespace {

const char* const plugin_file_name = "plugin_qvx_ffmpeg_x64.so";

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string executable_dir() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string find_plugin(const std::string& explicit_path) {
    if (!explicit_path.empty()) return explicit_path;
    const std::string dir = executable_dir();
    if (!dir.empty()) {
        for (const std::string& candidate :
             {dir + "/" + plugin_file_name, dir + "/../" + plugin_file_name}) {
            if (is_file(candidate)) return candidate;
        }
    }
#ifdef QVX_PLAY_PLUGIN_PATH
    return QVX_PLAY_PLUGIN_PATH;
#else
    return plugin_file_name;
#endif
}

LoadedPlugin::~LoadedPlugin() {
    destroy();
}

bool LoadedPlugin::load(const std::string& path, std::string& error) {
    path_ = path;
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    auto create = reinterpret_cast<qvx_plugin_create_fn>(dlsym(handle_, "qvx_plugin_create"));
    destroy_ = reinterpret_cast<qvx_plugin_destroy_fn>(dlsym(handle_, "qvx_plugin_destroy"));
    if (create == nullptr || destroy_ == nullptr) {
        error = path + " is not a qvx plug-in (qvx_plugin_create/qvx_plugin_destroy missing)";
        return false;
    }
    plugin_ = create();
    video_ = dynamic_cast<qvx::SimpleVideo*>(plugin_);
    if (video_ == nullptr || plugin_->get_type() != qvx::PLUGIN_TYPE_VIDEO) {
        error = path + " is not a video plug-in";
        destroy();
        return false;
    }
    return true;
}

void LoadedPlugin::destroy() {
    if (plugin_ != nullptr && destroy_ != nullptr) destroy_(plugin_);
    plugin_ = nullptr;
    video_ = nullptr;
}

}  // namespace qvx_play
