// The window: each block's video side by side, uploaded from the planes the
// plug-in delivered into SDL textures of the same format, turned by the
// video's rotation; keys steer the player; the title is the status line.
//
// SDL is shared with the plug-in, which starts and quits its audio part on
// its own. The window therefore only starts SDL's video subsystem, and it
// must be closed before the plug-in stops (the plug-in's SDL_Quit ends
// every subsystem).
#pragma once

#include <memory>
#include <string>
#include <vector>

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace qvx_play {

class Player;
struct Block;

class WindowView {
    // Only create() makes a view, a whole one or none.
    struct Key {
        explicit Key() = default;
    };

public:
    // A window for the player's blocks, or null with the reason when there
    // is no display.
    static std::unique_ptr<WindowView> create(Player& player, std::string& why_not);
    WindowView(Key, Player& player);
    ~WindowView();
    WindowView(const WindowView&) = delete;
    WindowView& operator=(const WindowView&) = delete;

    // Handles pending events; false when the user asked to quit.
    bool handle_events(double now);
    // Uploads new frames and redraws when something changed (at least a few
    // times a second, for the title); takes screenshots that came due.
    void present(double now);
    // Messages of failed screenshots; true when every one was written.
    bool screenshot_errors(std::vector<std::string>& errors) const;

private:
    struct Cell {
        Block* block = nullptr;
        SDL_Texture* texture = nullptr;
        int tex_width = 0;
        int tex_height = 0;
        uint64_t uploaded = 0;  // new_frames of the block at the last upload
        int x = 0, width = 0;   // place in the logical window
        int clockwise = 0;
    };

    bool init(std::string& why_not);
    void upload(Cell& cell);
    void draw();
    void update_title(double now);
    void take_screenshots(double now);

    Player& player_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    std::vector<Cell> cells_;
    int width_ = 0;
    int height_ = 0;
    double last_draw_ = -1e9;
    double last_title_ = -1e9;
    std::vector<bool> screenshot_done_;
    std::vector<std::string> errors_;
    bool video_started_ = false;
};

}  // namespace qvx_play
