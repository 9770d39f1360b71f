// The wait for the platform's video pipeline: the name "com.vexo.VideoControl" is watched on the
// system bus; when it appears, the boolean property "VideoStarted" of
// "/com/vexo/VideoControl/1" is read, and if it is not yet true, its first change to true is
// awaited. The action runs once. The module owns the name watch and both proxies.
#pragma once

// The two daemons word their messages differently; the HDMI daemon also logs debug lines.
enum class video_wording { hdmi, sdi };

using video_started_func = void (*)();

// Starts watching; `on_started` runs in the main loop's context.
void watch_video_control(video_wording wording, video_started_func on_started);
// Releases both proxies and stops the name watch (each only if set).
void video_watch_release();
