// FFmpeg's own messages, sent to the host's log instead of stderr.
#pragma once

namespace qvx_ffmpeg {

// Installs the plug-in's av_log callback; every plug-in object that is
// initialised holds it, and the last release puts FFmpeg's default back
// (FFmpeg offers no way to read the callback that was there before).
void hold_ffmpeg_log();
void release_ffmpeg_log();

}  // namespace qvx_ffmpeg
