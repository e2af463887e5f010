// The plug-in object a fuzz target drives: created once per process, its
// log silenced (a mutated input logs a line per packet), started.
#pragma once

#include "plugin/plugin.h"

namespace qvx_fuzz {

inline qvx::SimpleVideoFFmpeg* started_quiet_plugin() {
    qvx::LogMgr::get().set_sink([](qvx::LogLevel, const std::string&) {});
    auto* p = new qvx::SimpleVideoFFmpeg();
    p->initialize();
    p->start();
    return p;
}

}  // namespace qvx_fuzz
