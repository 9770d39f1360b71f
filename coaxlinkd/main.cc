// coaxlinkd: the SDI output daemon. Reads its configuration and the capture mode at start-up,
// waits until the device is set up and video runs, then programs the FPGA's serialiser, switches
// the output and the cable driver on, and starts the audio clocks; switches both off at the end.
#include "capture_mode.h"
#include "config.h"
#include "fpga.h"
#include "frame_audio.h"
#include "frame_gate.h"
#include "frame_privileges.h"
#include "frame_video.h"
#include "lmh0303.h"
#include "log.h"
#include "vexolog.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

namespace {

constexpr char USER_NAME[] = "coaxlink";

GMainLoop *loop = nullptr;
bool sdi_chip_init_ok = false;
guint setup_timer_id = 0;

gboolean no_daemon = FALSE;
gboolean debug_all = FALSE;
// Accepted for the command lines that pass it; the output starts with video either way.
gboolean enable_sdi = FALSE;
gboolean setup_fpga = FALSE;

gboolean quit_loop(gpointer) {
  g_main_loop_quit(loop);
  return G_SOURCE_CONTINUE;
}

void start_sdi_output() {
  DL_INFO("%sEnabling SDI output");
  fpga_init();
  fpga_enable_sdi_output();
  if (sdi_chip_init_ok) {
    lmh0303_sdi_chip_enable();
  }
  init_audio(false);
}

gboolean wait_for_setup_cb(gpointer) {
  if (!root_password_is_set()) {
    return G_SOURCE_CONTINUE;
  }
  setup_timer_id = 0;
  watch_video_control(video_wording::sdi, start_sdi_output);
  return G_SOURCE_REMOVE;
}

// Parses the command line; exits on a parse error.
void parse_options(int &argc, char **&argv) {
  const GOptionEntry entries[] = {
      {"no-daemon", 'n', 0, G_OPTION_ARG_NONE, &no_daemon, "Do not daemonize", nullptr},
      {"debug-all", 'd', 0, G_OPTION_ARG_NONE, &debug_all, "Enable debug output prints", nullptr},
      {"enable-sdi", 'e', 0, G_OPTION_ARG_NONE, &enable_sdi, "Enable SDI output", nullptr},
      {"setup-fpga", 's', 0, G_OPTION_ARG_NONE, &setup_fpga, "Setup FPGA registers", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  GOptionContext *context = g_option_context_new("");
  g_option_context_add_main_entries(context, entries, nullptr);
  GError *err = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &err)) {
    std::fprintf(stderr, "%s\nTry -? or --help for more information.\n", err->message);
    g_error_free(err);
    g_option_context_free(context);
    std::exit(1);
  }
  g_option_context_free(context);
}

// Ends start-up: the enable line was exported by this process and is given back.
[[noreturn]] void fail_start() {
  lmh0303_sdi_chip_cleanup();
  std::exit(1);
}

} // namespace

int main(int argc, char **argv) {
  loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, quit_loop, nullptr);
  g_unix_signal_add(SIGTERM, quit_loop, nullptr);

  if (coaxlinkd_config_read(COAXLINKD_CONFIG_PATH) != 0) {
    DL_ERROR("%sDaemon failed, configuration could not be read");
    return 1;
  }
  if (lmh0303_sdi_chip_init() != 0) {
    DL_ERROR("%sSDI chip could not be initialized.");
    return 1;
  }
  sdi_chip_init_ok = true;

  parse_options(argc, argv);
  if (debug_all) {
    set_debug();
  }

  if (no_daemon) {
    vexo_log_stdout();
  } else {
    vexo_log_syslog();
    if (daemon(0, 0) != 0) {
      DL_ERROR("%sDaemon failed.");
      fail_start();
    }
  }

  if (coaxlinkd_config_get_capt_settings() != 0) {
    DL_ERROR("%sDaemon failed, unable to get capture mode settings");
    fail_start();
  }

  if (setup_fpga) {
    fpga_init();
  }

  if (root_password_is_set()) {
    watch_video_control(video_wording::sdi, start_sdi_output);
  } else {
    setup_timer_id = g_timeout_add(1000, wait_for_setup_cb, nullptr);
  }

  if (!drop_privileges(USER_NAME, privilege_wording::sdi)) {
    fail_start();
  }

  g_main_loop_run(loop);

  DL_INFO("%sTerminating");
  if (setup_timer_id != 0) {
    g_source_remove(setup_timer_id);
  }
  video_watch_release();
  fpga_disable_sdi_output();
  lmh0303_sdi_chip_disable();
  lmh0303_sdi_chip_cleanup();
  fpga_close();
  g_main_loop_unref(loop);
  vexo_log_cleanup();
  return 0;
}
