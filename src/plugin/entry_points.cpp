// The library's two exports: everything a host reaches starts here.
#include <memory>

#include "plugin/plugin.h"

#if defined(_WIN32)
#define QVX_PLUGIN_EXPORT __declspec(dllexport)
#else
#define QVX_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

QVX_PLUGIN_EXPORT qvx::Plugin* qvx_plugin_create() {
    try {
        // The host owns the object until it hands it back to destroy.
        return std::make_unique<qvx::SimpleVideoFFmpeg>().release();
    } catch (...) {
        return nullptr;
    }
}

QVX_PLUGIN_EXPORT int qvx_plugin_destroy(qvx::Plugin* plugin) {
    if (plugin == nullptr) return 0;
    std::unique_ptr<qvx::Plugin> owned(plugin);
    return 1;
}

}  // extern "C"
