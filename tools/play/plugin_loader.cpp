#include "plugin_loader.h"

#include <filesystem>
#include <system_error>

#include "host/plugin_library.h"

namespace qvx_play {

namespace {

bool is_file(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::u8path(path), ec);
}

}  // namespace

std::string find_plugin(const std::string& explicit_path) {
    if (!explicit_path.empty()) return explicit_path;
    const std::string dir = qvx_host::executable_dir();
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

}  // namespace qvx_play
