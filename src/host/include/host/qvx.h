// Host engine library, as the video plug-in sees it.
//
// This is the project's stand-in for the engine's closed library: the same
// classes and signatures, with an in-memory renderer so that tests and tools
// can read the pixels a plug-in delivers. A host program is written against
// this header only.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#if defined(QVX_BUILDING_HOST)
#define QVX_API __declspec(dllexport)
#else
#define QVX_API __declspec(dllimport)
#endif
#define QVX_PRINTF(fmt_index, first_arg)
#else
#define QVX_API __attribute__((visibility("default")))
#define QVX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

namespace qvx {

enum class LogLevel { info, warning, error, debug };

using LogSink = std::function<void(LogLevel, const std::string&)>;

// The one log manager. Every line of the engine and its plug-ins goes
// through it; a host installs a sink to receive them, otherwise they go to
// stderr with their level.
class QVX_API LogMgr {
public:
    static LogMgr& get();

    void tracef(const char* fmt, ...) QVX_PRINTF(2, 3);
    void tracef_warning(const char* fmt, ...) QVX_PRINTF(2, 3);
    void tracef_error(const char* fmt, ...) QVX_PRINTF(2, 3);
    void tracef_debug(const char* fmt, ...) QVX_PRINTF(2, 3);

    void vlog(LogLevel level, const char* fmt, va_list args);
    void set_sink(LogSink sink);

private:
    LogMgr() = default;
    std::mutex sink_mutex_;
    LogSink sink_;
};

enum PLUGIN_TYPE : int {
    PLUGIN_TYPE_UNKNOWN = 0,
    PLUGIN_TYPE_RENDERER = 1,
    PLUGIN_TYPE_AUDIO = 2,
    PLUGIN_TYPE_INPUT = 3,
    PLUGIN_TYPE_VIDEO = 4,
};

// Base of every plug-in: identity and logging. The virtual operations, in
// this order, open the table that a host calls through.
class QVX_API Plugin {
public:
    Plugin();
    virtual ~Plugin();

    virtual void tracef(const char* fmt, ...) QVX_PRINTF(2, 3);
    virtual void tracef_warning(const char* fmt, ...) QVX_PRINTF(2, 3);
    virtual void tracef_error(const char* fmt, ...) QVX_PRINTF(2, 3);
    virtual void tracef_debug(const char* fmt, ...) QVX_PRINTF(2, 3);
    virtual bool initialize();
    virtual bool terminate();

    const char* get_name() const;
    const char* get_description() const;
    const char* get_author() const;
    const char* get_build_info() const;
    void get_version(int* major, int* minor, int* patch) const;
    int get_type() const;

protected:
    void set_name(const char* name);
    void set_description(const char* description);
    void set_author(const char* author);
    void set_build_info(const char* build_info);
    void set_version(int major, int minor, int patch);
    void set_type(PLUGIN_TYPE type);

private:
    std::string name_;
    std::string description_;
    std::string author_;
    std::string build_info_;
    int version_[3] = {0, 0, 0};
    int type_ = PLUGIN_TYPE_UNKNOWN;
    bool initialized_ = false;
};

// Storage that reads as zeros and costs nothing until written, as a new
// GPU texture: calloc hands large blocks out as fresh zero pages, where a
// std::vector would write every byte up front (and fault every page in).
// Value-initialising an element is left to those zeros, so a storage must
// only grow into newly allocated memory (Texture::create_storage makes a
// new one each time).
template <typename T>
struct ZeroPagesAllocator {
    using value_type = T;
    ZeroPagesAllocator() = default;
    template <typename U>
    ZeroPagesAllocator(const ZeroPagesAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        void* p = std::calloc(n, sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }
    template <typename U>
    void construct(U*) noexcept {}
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const ZeroPagesAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const ZeroPagesAllocator<U>&) const noexcept {
        return false;
    }
};
using PixelStorage = std::vector<uint8_t, ZeroPagesAllocator<uint8_t>>;

// Pixel storage of one texture. Format codes: 1 = three bytes a pixel
// (RGB), 11 = one byte (a luma or chroma plane), 12 = two bytes
// (interleaved UV).
struct QVX_API TextureData {
    uint64_t width = 0;
    uint64_t height = 0;
    int format = 0;
    PixelStorage pixels;
    uint64_t region_updates = 0;  // update_texture_region calls received

    static int bytes_per_pixel(int format);
};

class QVX_API Renderer {
public:
    Renderer() = default;
    virtual ~Renderer();

    virtual void bind_texture(TextureData* data, uint64_t unit);
    // Copies height rows of width pixels, tightly packed in pixels, into
    // data at (x, y). Rows that fall outside the storage are clipped.
    virtual void update_texture_region(TextureData* data, int x, int y, int width, int height,
                                       int format, const void* pixels);

    uint64_t last_bound_unit() const { return last_unit_; }

private:
    uint64_t last_unit_ = 0;
};

class QVX_API Texture {
public:
    Texture() = default;
    virtual ~Texture();

    virtual void create_storage(uint64_t width, uint64_t height, int format, bool keep_data);
    void gen_mipmaps(bool enable);
    bool upload(Renderer* renderer, size_t level, bool force);
    TextureData* get_data_ptr();

    int get_audio_video_block_id() const;
    void set_audio_video_block_id(int id);

private:
    TextureData data_;
    int block_id_ = 0;
    bool mipmaps_ = false;
};

// Elapsed time since construction or the last reset, as 32-bit counts.
class QVX_API Timer {
public:
    Timer();
    ~Timer();
    void reset();
    uint32_t getMilliseconds() const;
    uint32_t getMicroseconds() const;

private:
    int64_t start_ns_;
};

// A plain mutex; no thread takes one twice.
class QVX_API ThreadLock {
public:
    ThreadLock();
    ~ThreadLock();
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;
    void acquire();
    void release();

private:
    std::mutex mutex_;
};

// Host audio frame store; releases the frames it holds.
class QVX_API AudioData {
public:
    AudioData();
    ~AudioData();
    void kill_audio_frames();
    size_t frame_count() const { return frames_.size(); }

private:
    std::vector<std::vector<uint8_t>> frames_;
};

// A fresh, nonzero id on each call (thread-safe).
QVX_API int GenId();

namespace utils {
QVX_API void thread_sleep(uint64_t milliseconds);
// Last call of a block thread procedure. It neither unwinds nor ends the
// thread: the procedure returns normally after it.
QVX_API void thread_exit();
}  // namespace utils

// The video plug-in interface. The order of the virtual operations is the
// contract between host and plug-in.
class QVX_API SimpleVideo : public Plugin {
public:
    SimpleVideo();
    ~SimpleVideo() override;

    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual int create_block(const char* filename, bool loop) = 0;
    virtual bool destroy_block(int id) = 0;
    virtual bool play_block(int id, bool video_enabled, bool audio_enabled) = 0;
    virtual bool stop_block(int id) = 0;
    virtual bool video_create_texture_rgb24(int id, Renderer* renderer, Texture* texture) = 0;
    virtual bool video_update_texture_rgb24(int id, Renderer* renderer, Texture* texture) = 0;
    virtual bool video_create_textures_yuv420p(int id, Renderer* renderer, Texture** textures) = 0;
    virtual bool video_update_textures_yuv420p(int id, Renderer* renderer, Texture** textures,
                                               const uint64_t* units) = 0;
    virtual bool video_create_textures_nv12(int id, Renderer* renderer, Texture** textures) = 0;
    virtual bool video_update_textures_nv12(int id, Renderer* renderer, Texture** textures,
                                            const uint64_t* units) = 0;
    virtual float get_video_rotation(int id) = 0;
    virtual bool update_block(int id) = 0;
    virtual bool set_streams_enabled(int id, bool video_enabled, bool audio_enabled) = 0;
    virtual int get_video_stream_index(int id) = 0;
    virtual int get_audio_stream_index(int id) = 0;
    virtual void set_paused(int id, bool paused) = 0;
    virtual void rewind_block(int id) = 0;
    virtual float get_position(int id) = 0;
    virtual void set_volume(int id, float volume) = 0;
    virtual int64_t get_duration(int id) = 0;
    virtual bool get_video_size(int id, int* width, int* height) = 0;
    virtual const char* get_video_codec_name(int id) = 0;
    virtual const char* get_audio_codec_name(int id) = 0;
    virtual uint32_t get_num_video_frames(int id) = 0;
    virtual uint32_t get_num_audio_frames(int id) = 0;
    virtual double get_video_fps(int id) = 0;
    virtual int64_t video_ms_to_timestamp(int id, int milliseconds) = 0;
    virtual bool seek_video_frame(int id, int seconds) = 0;
    virtual bool seek_video_timestamp(int id, int timestamp) = 0;
    virtual bool seek_audio_timestamp(int id, int timestamp) = 0;
    virtual bool seek_block(int id, int seconds) = 0;
    virtual void set_audio_manager(void* manager) = 0;
    virtual void* get_audio_manager() = 0;
    virtual bool set_parameter_int(const char* key, int value) = 0;
    virtual bool set_parameter_string(const char* key, const char* value) = 0;
    virtual uint32_t get_num_displayed_frames(int id) = 0;
    virtual uint32_t get_num_decoded_frames(int id) = 0;
    virtual bool is_hw_device_available(const char* name) = 0;
    virtual bool is_hw_device_used(int id, const char* name) = 0;
    virtual bool texture_create_from_file(Renderer* renderer, Texture* texture,
                                          const char* filename) = 0;
    virtual bool texture_update(Renderer* renderer, Texture* texture) = 0;
    virtual int64_t texture_get_duration(Texture* texture) = 0;
    virtual double texture_get_video_fps(Texture* texture) = 0;
    virtual int64_t texture_video_ms_to_timestamp(Texture* texture, int milliseconds) = 0;
    virtual bool texture_seek_video_frame(Texture* texture, int seconds) = 0;
    virtual bool texture_seek_video_timestamp(Texture* texture, int timestamp) = 0;
    virtual bool texture_destroy_block(Texture* texture) = 0;
};

}  // namespace qvx

// The two entry points a video plug-in library exports.
extern "C" {
typedef qvx::Plugin* (*qvx_plugin_create_fn)();
typedef int (*qvx_plugin_destroy_fn)(qvx::Plugin*);
}
