// The plug-in object a fuzz target drives: created once per process, its
// log silenced (a mutated input logs a line per packet) but for the lines
// the target asks to hear of, started.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "plugin/plugin.h"

namespace qvx_fuzz {

inline qvx::SimpleVideoFFmpeg* started_quiet_plugin(
    std::function<void(const std::string&)> on_warning = nullptr) {
    qvx::LogMgr::get().set_sink(
        [on_warning = std::move(on_warning)](qvx::LogLevel level, const std::string& line) {
            if (on_warning && level == qvx::LogLevel::warning) on_warning(line);
        });
    auto* p = new qvx::SimpleVideoFFmpeg();
    p->initialize();
    p->start();
    return p;
}

}  // namespace qvx_fuzz
