// What a block's name may reach. The name comes from whoever gave the host
// its media, so it is checked before FFmpeg sees it: which protocols and
// demuxers an open may use, and which local files are no media files at all.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "media/media.h"

namespace qvx_ffmpeg {

namespace {

bool is_list_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '+';
}

std::set<std::string> split_list(const std::string& list) {
    std::set<std::string> out;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(',', begin);
        if (end == std::string::npos) end = list.size();
        if (end > begin) out.insert(list.substr(begin, end - begin));
        begin = end + 1;
    }
    return out;
}

// Capture devices and filter graphs ("v4l2", "alsa", "x11grab", "lavfi"):
// libavdevice lists them whether or not they are registered.
const AVInputFormat* device_format(const std::string& name) {
    const AVInputFormat* format = nullptr;
    while ((format = av_input_video_device_next(format)) != nullptr) {
        if (name == format->name) return format;
    }
    while ((format = av_input_audio_device_next(format)) != nullptr) {
        if (name == format->name) return format;
    }
    return nullptr;
}

bool is_device_class(const AVClass* c) {
    if (c == nullptr) return false;
    switch (c->category) {
        case AV_CLASS_CATEGORY_DEVICE_VIDEO_INPUT:
        case AV_CLASS_CATEGORY_DEVICE_AUDIO_INPUT:
        case AV_CLASS_CATEGORY_DEVICE_INPUT: return true;
        default: return false;
    }
}

// "listen" in a URL's options turns tcp, http, rtmp and others into a server
// on every interface.
bool asks_to_listen(const std::string& name) {
    size_t at = name.find('?');
    while (at != std::string::npos) {
        const size_t end = name.find_first_of("&=", at + 1);
        std::string key = name.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "listen") return true;
        at = name.find('&', at + 1);
    }
    return false;
}

// "rtsp" of "rtsp://camera/stream"; empty for a plain path (a drive letter
// is no scheme).
std::string url_scheme(const std::string& name) {
    const size_t colon = name.find(':');
    if (colon == std::string::npos || colon < 2) return std::string();
    for (size_t i = 0; i < colon; ++i) {
        if (!is_list_char(name[i]) && name[i] != '.') return std::string();
    }
    return name.substr(0, colon);
}

#if defined(_WIN32)
bool iequals(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
}
#endif

}  // namespace

const char* const default_protocol_whitelist = "file,http,https,tls,tcp,crypto,hls,httpproxy";

std::string escape_for_log(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

bool valid_protocol_whitelist(const std::string& list) {
    if (list.empty()) return false;
    for (const char c : list) {
        if (c != ',' && !is_list_char(c)) return false;
    }
    return !split_list(list).empty();
}

std::string named_devices(const std::string& whitelist) {
    std::string out;
    for (const std::string& name : split_list(whitelist)) {
        if (device_format(name) == nullptr) continue;
        if (!out.empty()) out += ',';
        out += name;
    }
    return out;
}

std::string allowed_demuxers(const std::string& devices) {
    if (!devices.empty()) {
        // Only a host that names a device gets the devices registered.
        static std::once_flag registered;
        std::call_once(registered, [] { avdevice_register_all(); });
    }
    const std::set<std::string> wanted = split_list(devices);
    std::string out;
    void* opaque = nullptr;
    while (const AVInputFormat* format = av_demuxer_iterate(&opaque)) {
        if (is_device_class(format->priv_class) && wanted.count(format->name) == 0) continue;
        if (!out.empty()) out += ',';
        out += format->name;
    }
    return out;
}

std::string refused_name_reason(const std::string& name, const std::string& whitelist) {
    const std::set<std::string> allowed = split_list(whitelist);
    const char* found = avio_find_protocol_name(name.c_str());
    // Demuxers with their own networking (rtsp://) have no protocol of that
    // name: their scheme must be on the list itself.
    const std::string protocol = found != nullptr ? found : url_scheme(name);
    if (protocol.empty()) return std::string();  // FFmpeg gives its own error
    if (allowed.count(protocol) == 0)
        return "the protocol \"" + protocol + "\" is not on the protocol whitelist";
    if (protocol != "file" && asks_to_listen(name))
        return "a media name may not open a listening socket";
    return std::string();
}

// ---- Inputs whose reads block in the kernel ---------------------------------
// The one place that knows the platform's kinds of file. A read from a pipe,
// a terminal or a device can wait in the kernel where no interrupt callback
// reaches it, so such inputs are never opened (unless the host asked for a
// capture device by name: those demuxers handle their devices themselves).
std::string blocking_input_reason(const std::string& name, bool devices_allowed) {
    if (name.rfind("pipe:", 0) == 0 || name.rfind("fd:", 0) == 0)
        return "pipes and file descriptors are not media files";
#if defined(_WIN32)
    std::string path = name.rfind("file:", 0) == 0 ? name.substr(5) : name;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    (void)devices_allowed;
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\pipe\\", 0) == 0 ||
        path.rfind("\\\\?\\GLOBALROOT", 0) == 0)
        return "named pipes and devices are not media files";
    // CON, NUL, COM1 and the like name devices in every folder, with any
    // extension.
    const size_t slash = path.find_last_of("\\:");
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && (base.back() == ' ')) base.pop_back();
    static const char* const devices[] = {
        "CON",  "PRN",  "AUX",  "NUL",  "CONIN$", "CONOUT$", "COM1",  "COM2", "COM3",
        "COM4", "COM5", "COM6", "COM7", "COM8",   "COM9",    "LPT1",  "LPT2", "LPT3",
        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",   "LPT9",    "CLOCK$"};
    for (const char* device : devices) {
        if (iequals(base, device)) return "device names are not media files";
    }
    return std::string();
#else
    const char* protocol = avio_find_protocol_name(name.c_str());
    if (protocol == nullptr || std::strcmp(protocol, "file") != 0) return std::string();
    const std::string path = name.rfind("file:", 0) == 0 ? name.substr(5) : name;
    struct stat info {};
    // stat follows links: /dev/stdin leads to whatever descriptor 0 is.
    if (stat(path.c_str(), &info) != 0) return std::string();
    if (S_ISFIFO(info.st_mode)) return "named pipes are not media files";
    if (S_ISSOCK(info.st_mode)) return "sockets are not media files";
    if (S_ISCHR(info.st_mode) && !devices_allowed) return "character devices are not media files";
    return std::string();
#endif
}

}  // namespace qvx_ffmpeg
