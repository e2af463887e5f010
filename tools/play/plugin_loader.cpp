#include "plugin_loader.h"

#include <filesystem>
#include <system_error>

namespace qvx_play {

namespace {

bool is_file(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::u8path(path), ec);
}

}  // namespace

std::string executable_dir() {
    return qvx_host::executable_dir();
}

std::string find_plugin(const std::string& explicit_path) {
    if (!explicit_path.empty()) return explicit_path;
    const std::string dir = executable_dir();
    const std::string file_name = qvx_host::plugin_file_name;
    if (!dir.empty()) {
        for (const std::string& candidate : {dir + "/" + file_name, dir + "/../" + file_name}) {
            if (is_file(candidate)) return candidate;
        }
    }
#ifdef QVX_PLAY_PLUGIN_PATH
    return QVX_PLAY_PLUGIN_PATH;
#else
    return file_name;
#endif
}

LoadedPlugin::~LoadedPlugin() {
    destroy();
}

bool LoadedPlugin::load(const std::string& path, std::string& error) {
    path_ = path;
    if (!library_.load(path, error)) return false;
    plugin_ = library_.create();
    video_ = dynamic_cast<qvx::SimpleVideo*>(plugin_);
    if (video_ == nullptr || plugin_->get_type() != qvx::PLUGIN_TYPE_VIDEO) {
        error = path + " is not a video plug-in";
        destroy();
        return false;
    }
    return true;
}

void LoadedPlugin::destroy() {
    if (plugin_ != nullptr) library_.destroy(plugin_);
    plugin_ = nullptr;
    video_ = nullptr;
}

}  // namespace qvx_play
