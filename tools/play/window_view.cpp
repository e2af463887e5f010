#include "window_view.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "picture.h"
#include "player.h"

namespace qvx_play {

namespace {

constexpr int max_height = 720;
constexpr int max_width = 1600;
// Redraw at least this often, so the title stays current while paused.
constexpr double idle_redraw_s = 0.25;

Uint32 sdl_format(PixelFormat format) {
    if (format == PixelFormat::rgb24) return SDL_PIXELFORMAT_RGB24;
    if (format == PixelFormat::yuv420p) return SDL_PIXELFORMAT_IYUV;
    return SDL_PIXELFORMAT_NV12;
}

}  // namespace

WindowView::WindowView(Key, Player& player) : player_(player) {}

std::unique_ptr<WindowView> WindowView::create(Player& player, std::string& why_not) {
    auto view = std::make_unique<WindowView>(Key{}, player);
    if (!view->init(why_not)) return nullptr;
    return view;
}

bool WindowView::init(std::string& why_not) {
#if defined(__linux__)
    // Without a display server SDL may still start a video driver that
    // shows nothing (KMS/DRM, offscreen); only a named driver is taken then.
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if ((driver == nullptr || *driver == '\0') && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        why_not = "neither DISPLAY nor WAYLAND_DISPLAY is set";
        return false;
    }
#endif
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        why_not = SDL_GetError();
        return false;
    }
    video_started_ = true;

    // Cells side by side at one height, each with its video's shape.
    int tallest = 0;
    for (auto& block : player_.blocks()) {
        if (!block->has_video) continue;
        Cell cell;
        cell.block = block.get();
        cell.clockwise = clockwise_degrees(block->rotation);
        const bool turned = cell.clockwise == 90 || cell.clockwise == 270;
        tallest = std::max(tallest, turned ? block->width : block->height);
        cells_.push_back(cell);
    }
    height_ = std::clamp(tallest, 120, max_height);
    for (int pass = 0; pass < 2; ++pass) {
        width_ = 0;
        for (Cell& cell : cells_) {
            const Block& b = *cell.block;
            const bool turned = cell.clockwise == 90 || cell.clockwise == 270;
            const double w = turned ? b.height : b.width, h = turned ? b.width : b.height;
            cell.x = width_;
            cell.width = std::max(1, static_cast<int>(std::lround(w * height_ / std::max(h, 1.0))));
            width_ += cell.width;
        }
        if (width_ <= max_width) break;
        height_ = std::max(60, height_ * max_width / width_);
    }
    if (cells_.empty()) width_ = 480;

    window_ = SDL_CreateWindow("qvx-play", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width_,
                               height_, SDL_WINDOW_RESIZABLE);
    if (window_ == nullptr) {
        why_not = SDL_GetError();
        return false;
    }
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (renderer_ == nullptr) {
        why_not = SDL_GetError();
        return false;
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    SDL_RenderSetLogicalSize(renderer_, width_, height_);
    for (Cell& cell : cells_) {
        Block& b = *cell.block;
        // Planar formats at even sizes: the plug-in's chroma planes are
        // half the size rounded down.
        const bool planar = b.frame.format() != PixelFormat::rgb24;
        cell.tex_width = planar ? b.width & ~1 : b.width;
        cell.tex_height = planar ? b.height & ~1 : b.height;
        cell.texture =
            SDL_CreateTexture(renderer_, sdl_format(b.frame.format()), SDL_TEXTUREACCESS_STREAMING,
                              std::max(cell.tex_width, 2), std::max(cell.tex_height, 2));
        if (cell.texture == nullptr) {
            why_not = SDL_GetError();
            return false;
        }
    }
    screenshot_done_.assign(player_.options().screenshots.size(), false);
    return true;
}

WindowView::~WindowView() {
    for (Cell& cell : cells_) {
        if (cell.texture != nullptr) SDL_DestroyTexture(cell.texture);
    }
    if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
    if (window_ != nullptr) SDL_DestroyWindow(window_);
    if (video_started_) SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

bool WindowView::handle_events(double now) {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT) return false;
        if (event.type != SDL_KEYDOWN) continue;
        switch (event.key.keysym.sym) {
            case SDLK_q:
            case SDLK_ESCAPE: return false;
            case SDLK_SPACE: player_.toggle_pause(now); break;
            case SDLK_LEFT: player_.seek_by(-5.0, now); break;
            case SDLK_RIGHT: player_.seek_by(5.0, now); break;
            case SDLK_UP: player_.change_volume(0.1); break;
            case SDLK_DOWN: player_.change_volume(-0.1); break;
            case SDLK_r: player_.rewind(now); break;
            default: break;
        }
        last_draw_ = -1e9;  // show the change at once
    }
    return true;
}

void WindowView::upload(Cell& cell) {
    Block& b = *cell.block;
    if (!b.has_picture || cell.uploaded == b.new_frames) return;
    cell.uploaded = b.new_frames;
    const uint8_t* p0 = b.frame.plane(0).pixels.data();
    if (b.frame.format() == PixelFormat::rgb24) {
        SDL_UpdateTexture(cell.texture, nullptr, p0, b.width * 3);
    } else if (b.frame.format() == PixelFormat::yuv420p) {
        SDL_Rect rect{0, 0, cell.tex_width, cell.tex_height};
        SDL_UpdateYUVTexture(cell.texture, &rect, p0, b.width, b.frame.plane(1).pixels.data(),
                             b.width / 2, b.frame.plane(2).pixels.data(), b.width / 2);
    } else {
        SDL_Rect rect{0, 0, cell.tex_width, cell.tex_height};
        SDL_UpdateNVTexture(cell.texture, &rect, p0, b.width, b.frame.plane(1).pixels.data(),
                            (b.width / 2) * 2);
    }
}

void WindowView::draw() {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    for (const Cell& cell : cells_) {
        if (!cell.block->has_picture) continue;
        SDL_Rect dst{cell.x, 0, cell.width, height_};
        if (cell.clockwise == 90 || cell.clockwise == 270) {
            // Drawn unturned at the turned shape, then turned about its
            // centre into the cell.
            dst = SDL_Rect{cell.x + (cell.width - height_) / 2, (height_ - cell.width) / 2, height_,
                           cell.width};
        }
        SDL_RenderCopyEx(renderer_, cell.texture, nullptr, &dst, cell.clockwise, nullptr,
                         SDL_FLIP_NONE);
    }
}

void WindowView::update_title(double now) {
    if (now - last_title_ < 0.25) return;
    last_title_ = now;
    auto& blocks = player_.blocks();
    if (blocks.empty()) return;
    const Block& first = *blocks.front();
    unsigned long long decoded = 0, displayed = 0;
    for (const auto& block : blocks) {
        if (!block->has_video) continue;
        decoded += player_.decoded(*block);
        displayed += player_.displayed(*block);
    }
    char title[256];
    std::snprintf(title, sizeof title,
                  "qvx-play - %.1f / %lld s - %.1f fps - decoded %llu, displayed %llu - "
                  "volume %.0f%%%s",
                  player_.position(first), static_cast<long long>(first.duration),
                  player_.delivered_fps(), decoded, displayed, player_.volume() * 100.0,
                  player_.paused() ? " - paused" : "");
    SDL_SetWindowTitle(window_, title);
}

void WindowView::take_screenshots(double now) {
    const auto& requests = player_.options().screenshots;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (screenshot_done_[i] || player_.elapsed(now) < requests[i].at_seconds) continue;
        screenshot_done_[i] = true;
        int w = 0, h = 0;
        SDL_GetRendererOutputSize(renderer_, &w, &h);
        std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
        std::string error;
        if (SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_RGB24, rgb.data(), w * 3) !=
            0) {
            errors_.push_back("screenshot " + requests[i].path + ": " + SDL_GetError());
        } else if (!write_png(rgb.data(), w, h, w * 3, requests[i].path, error)) {
            errors_.push_back("screenshot " + requests[i].path + ": " + error);
        }
    }
}

void WindowView::present(double now) {
    bool fresh = false;
    for (Cell& cell : cells_) {
        fresh = fresh || (cell.block->has_picture && cell.uploaded != cell.block->new_frames);
        upload(cell);
    }
    if (!fresh && now - last_draw_ < idle_redraw_s) return;
    last_draw_ = now;
    draw();
    take_screenshots(now);  // before presenting: the back buffer is read
    SDL_RenderPresent(renderer_);
    update_title(now);
}

bool WindowView::screenshot_errors(std::vector<std::string>& errors) const {
    errors.insert(errors.end(), errors_.begin(), errors_.end());
    const auto& requests = player_.options().screenshots;
    bool ok = errors_.empty();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (screenshot_done_[i]) continue;
        char at[32];
        std::snprintf(at, sizeof at, "%g", requests[i].at_seconds);
        errors.push_back("screenshot " + requests[i].path + ": playback ended before " + at + " s");
        ok = false;
    }
    return ok;
}

}  // namespace qvx_play
