// The one platform-specific place of the host side: the library loader and
// the executable's own path. Everything else is standard C++.
#include "host/plugin_library.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#endif

namespace qvx_host {

namespace {

// Both entry points or neither: a library without them is not a plug-in.
bool take_entry_points(void* create, void* destroy, qvx_plugin_create_fn& create_out,
                       qvx_plugin_destroy_fn& destroy_out, const std::string& path,
                       std::string& error) {
    if (create == nullptr || destroy == nullptr) {
        error = path + " is not a qvx plug-in (qvx_plugin_create/qvx_plugin_destroy missing)";
        return false;
    }
    create_out = reinterpret_cast<qvx_plugin_create_fn>(create);
    destroy_out = reinterpret_cast<qvx_plugin_destroy_fn>(destroy);
    return true;
}

}  // namespace

#if defined(_WIN32)

const char* const plugin_file_name = "plugin_qvx_ffmpeg_x64.dll";

namespace {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n,
                        nullptr, nullptr);
    return utf8;
}

std::string last_error_text() {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text ? narrow(text) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}

}  // namespace

bool PluginLibrary::load(const std::string& path, std::string& error) {
    std::wstring wide = widen(path);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    // An absolute path makes Windows look for FFmpeg's and SDL's DLLs beside
    // the plug-in rather than beside the executable only.
    const bool absolute = wide.size() > 2 && (wide[1] == L':' || wide.compare(0, 2, L"\\\\") == 0);
    HMODULE module =
        LoadLibraryExW(wide.c_str(), nullptr, absolute ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (module == nullptr) {
        error = "cannot load the plug-in " + path + ": " + last_error_text();
        return false;
    }
    handle_ = module;
    return take_entry_points(reinterpret_cast<void*>(GetProcAddress(module, "qvx_plugin_create")),
                             reinterpret_cast<void*>(GetProcAddress(module, "qvx_plugin_destroy")),
                             create_, destroy_, path, error);
}

std::string executable_dir() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::string();
    buffer.resize(n);
    std::string path = narrow(buffer);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void process_cpu_seconds(double& user_s, double& system_s) {
    FILETIME created, exited, kernel, user;
    user_s = system_s = 0.0;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
    const auto seconds = [](const FILETIME& t) {
        const unsigned long long ticks =
            (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;  // 100 ns ticks
    };
    user_s = seconds(user);
    system_s = seconds(kernel);
}

#else

const char* const plugin_file_name = "plugin_qvx_ffmpeg_x64.so";

bool PluginLibrary::load(const std::string& path, std::string& error) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    return take_entry_points(dlsym(handle_, "qvx_plugin_create"),
                             dlsym(handle_, "qvx_plugin_destroy"), create_, destroy_, path, error);
}

std::string executable_dir() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void process_cpu_seconds(double& user_s, double& system_s) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    user_s = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
    system_s = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
}

#endif

}  // namespace qvx_host
