#include "host/qvx.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qvx {

namespace {

const char* level_name(LogLevel level) {
    switch (level) {
        case LogLevel::info: return "info";
        case LogLevel::warning: return "warning";
        case LogLevel::error: return "error";
        case LogLevel::debug: return "debug";
    }
    return "info";
}

std::string format_line(const char* fmt, va_list args) {
    if (fmt == nullptr) return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), fmt, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- LogMgr ----------------------------------------------------------------

LogMgr& LogMgr::get() {
    static LogMgr instance;
    return instance;
}

void LogMgr::vlog(LogLevel level, const char* fmt, va_list args) {
    std::string line = format_line(fmt, args);
    std::lock_guard<std::mutex> lock(sink_mutex_);
    if (sink_) {
        sink_(level, line);
    } else {
        std::fprintf(stderr, "[%s] %s\n", level_name(level), line.c_str());
    }
}

void LogMgr::set_sink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sink_mutex_);
    sink_ = std::move(sink);
}

#define QVX_FORWARD_LOG(target, level) \
    va_list args;                      \
    va_start(args, fmt);               \
    (target).vlog(level, fmt, args);   \
    va_end(args)

void LogMgr::tracef(const char* fmt, ...) {
    QVX_FORWARD_LOG(*this, LogLevel::info);
}
void LogMgr::tracef_warning(const char* fmt, ...) {
    QVX_FORWARD_LOG(*this, LogLevel::warning);
}
void LogMgr::tracef_error(const char* fmt, ...) {
    QVX_FORWARD_LOG(*this, LogLevel::error);
}
void LogMgr::tracef_debug(const char* fmt, ...) {
    QVX_FORWARD_LOG(*this, LogLevel::debug);
}

// ---- Plugin ----------------------------------------------------------------

Plugin::Plugin() = default;
Plugin::~Plugin() = default;

void Plugin::tracef(const char* fmt, ...) {
    QVX_FORWARD_LOG(LogMgr::get(), LogLevel::info);
}
void Plugin::tracef_warning(const char* fmt, ...) {
    QVX_FORWARD_LOG(LogMgr::get(), LogLevel::warning);
}
void Plugin::tracef_error(const char* fmt, ...) {
    QVX_FORWARD_LOG(LogMgr::get(), LogLevel::error);
}
void Plugin::tracef_debug(const char* fmt, ...) {
    QVX_FORWARD_LOG(LogMgr::get(), LogLevel::debug);
}

#undef QVX_FORWARD_LOG

bool Plugin::initialize() {
    initialized_ = true;
    return true;
}

bool Plugin::terminate() {
    initialized_ = false;
    return true;
}

const char* Plugin::get_name() const {
    return name_.c_str();
}
const char* Plugin::get_description() const {
    return description_.c_str();
}
const char* Plugin::get_author() const {
    return author_.c_str();
}
const char* Plugin::get_build_info() const {
    return build_info_.c_str();
}

void Plugin::get_version(int* major, int* minor, int* patch) const {
    if (major) *major = version_[0];
    if (minor) *minor = version_[1];
    if (patch) *patch = version_[2];
}

int Plugin::get_type() const {
    return type_;
}

void Plugin::set_name(const char* name) {
    name_ = name ? name : "";
}
void Plugin::set_description(const char* description) {
    description_ = description ? description : "";
}
void Plugin::set_author(const char* author) {
    author_ = author ? author : "";
}
void Plugin::set_build_info(const char* build_info) {
    build_info_ = build_info ? build_info : "";
}

void Plugin::set_version(int major, int minor, int patch) {
    version_[0] = major;
    version_[1] = minor;
    version_[2] = patch;
}

void Plugin::set_type(PLUGIN_TYPE type) {
    type_ = type;
}

SimpleVideo::SimpleVideo() = default;
SimpleVideo::~SimpleVideo() = default;

// ---- Textures and renderer --------------------------------------------------

int TextureData::bytes_per_pixel(int format) {
    switch (format) {
        case 1: return 3;
        case 11: return 1;
        case 12: return 2;
        default: return 0;
    }
}

Renderer::~Renderer() = default;

void Renderer::bind_texture(TextureData* /*data*/, uint64_t unit) {
    last_unit_ = unit;
}

void Renderer::update_texture_region(TextureData* data, int x, int y, int width, int height,
                                     int format, const void* pixels) {
    if (data == nullptr || pixels == nullptr || width <= 0 || height <= 0 || x < 0 || y < 0) return;
    const int bpp = TextureData::bytes_per_pixel(format);
    if (bpp == 0 || format != data->format) return;
    const auto* src = static_cast<const uint8_t*>(pixels);
    const uint64_t rows = std::min<uint64_t>(
        static_cast<uint64_t>(height),
        data->height > static_cast<uint64_t>(y) ? data->height - static_cast<uint64_t>(y) : 0);
    const uint64_t cols = std::min<uint64_t>(
        static_cast<uint64_t>(width),
        data->width > static_cast<uint64_t>(x) ? data->width - static_cast<uint64_t>(x) : 0);
    const size_t src_stride = static_cast<size_t>(width) * bpp;
    const size_t dst_stride = static_cast<size_t>(data->width) * bpp;
    for (uint64_t row = 0; row < rows; ++row) {
        std::memcpy(&data->pixels[(static_cast<size_t>(y) + row) * dst_stride +
                                  static_cast<size_t>(x) * bpp],
                    src + row * src_stride, cols * bpp);
    }
    ++data->region_updates;
}

Texture::~Texture() = default;

void Texture::create_storage(uint64_t width, uint64_t height, int format, bool /*keep_data*/) {
    data_.width = width;
    data_.height = height;
    data_.format = format;
    // A new storage each time: it must only ever grow into fresh zeros.
    data_.pixels = PixelStorage();
    data_.pixels.resize(width * height * TextureData::bytes_per_pixel(format));
}

void Texture::gen_mipmaps(bool enable) {
    mipmaps_ = enable;
}

bool Texture::upload(Renderer* /*renderer*/, size_t /*level*/, bool /*force*/) {
    return true;
}

TextureData* Texture::get_data_ptr() {
    return &data_;
}

int Texture::get_audio_video_block_id() const {
    return block_id_;
}

void Texture::set_audio_video_block_id(int id) {
    block_id_ = id;
}

// ---- Timer, lock, audio data ------------------------------------------------

Timer::Timer() : start_ns_(now_ns()) {}
Timer::~Timer() = default;
void Timer::reset() {
    start_ns_ = now_ns();
}

uint32_t Timer::getMilliseconds() const {
    return static_cast<uint32_t>((now_ns() - start_ns_) / 1000000);
}

uint32_t Timer::getMicroseconds() const {
    return static_cast<uint32_t>((now_ns() - start_ns_) / 1000);
}

ThreadLock::ThreadLock() = default;
ThreadLock::~ThreadLock() = default;
void ThreadLock::acquire() {
    mutex_.lock();
}
void ThreadLock::release() {
    mutex_.unlock();
}

AudioData::AudioData() = default;
AudioData::~AudioData() = default;
void AudioData::kill_audio_frames() {
    frames_.clear();
}

int GenId() {
    static std::atomic<int> next{0};
    int id = ++next;
    if (id == 0) id = ++next;  // 0 never names anything, even after wrap-around
    return id;
}

namespace utils {

void thread_sleep(uint64_t milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void thread_exit() {}

}  // namespace utils

}  // namespace qvx
