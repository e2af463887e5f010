#include "video_plugin.h"

namespace qvx_support {

bool VideoPlugin::load(const std::string& path, bool start, std::string& error) {
    if (!own_library_.load(path, error)) return false;
    if (create(own_library_, start, error)) return true;
    error = path + ": " + error;
    return false;
}

bool VideoPlugin::create(const qvx_host::PluginLibrary& library, bool start, std::string& error) {
    reset();
    qvx::Plugin* plugin = library.create();
    auto* video = dynamic_cast<qvx::SimpleVideo*>(plugin);
    if (video == nullptr || plugin->get_type() != qvx::PLUGIN_TYPE_VIDEO) {
        if (plugin != nullptr) library.destroy(plugin);
        error = "the library makes no video plug-in";
        return false;
    }
    library_ = &library;
    video_ = video;
    video_->initialize();
    if (start) video_->start();
    return true;
}

void VideoPlugin::reset() {
    if (video_ == nullptr) return;
    video_->stop();
    video_->terminate();
    library_->destroy(video_);
    video_ = nullptr;
}

}  // namespace qvx_support
