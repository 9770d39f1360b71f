// displinkd: brings up the device's HDMI output once the device is set up and video runs, then
// lets the transmitter's interrupts drive it until SIGINT or SIGTERM.
#include "config.h"
#include "fpga.h"
#include "frame_audio.h"
#include "frame_gate.h"
#include "frame_privileges.h"
#include "frame_video.h"
#include "i2c.h"
#include "interrupt.h"
#include "log.h"
#include "nxp/displinkd_nxp.h"

#include <glib-unix.h>
#include <glib.h>
#include <vexolog.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr const char *config_path = "/usr/share/displinkd/nxp_tda19988.conf";
constexpr const char *daemon_user = "displink";

GMainLoop *loop = nullptr;
gboolean no_daemon = FALSE;
gboolean debug_all = FALSE;
gboolean enable_hdmi = FALSE;
gboolean enable_cec = FALSE;
gboolean force_scaling = FALSE;
bool hdmi_enabled = false;
// A quit asked for before the loop runs would be lost (GLib forgets it), so it is remembered
// here and the loop is then not entered at all.
bool quit_requested = false;

void request_quit() {
  quit_requested = true;
  g_main_loop_quit(loop);
}

void start_hdmi_output() {
  DL_INFO("%sEnabling HDMI output");
  // Each failing step stops the daemon, but only after the remaining steps ran: the normal
  // shutdown then tears down whatever did come up.
  if (!displinkd_fpga_enable_pll()) {
    DL_ERROR("%sDaemon failed, fpga pll could not be initialized");
    request_quit();
  }
  if (!displinkd_fpga_enable_hdmi()) {
    DL_ERROR("%sDaemon failed, HDMI could not be enabled in FPGA");
    request_quit();
  }
  init_audio(true);
  if (displinkd_i2c_init() != 0) {
    DL_ERROR("%sDaemon failed, I2C could not be initialized");
    request_quit();
  }
  if (displinkd_nxp_init(enable_cec, force_scaling) != 0) {
    DL_ERROR("%sDaemon failed, hdmi could not be initialized");
    request_quit();
  }
  if (displinkd_interrupt_init(loop, displinkd_nxp_interrupt_callback) != 0) {
    DL_ERROR("%sDaemon failed, interrupt could not be initialized");
    request_quit();
  }
  hdmi_enabled = true;
}

void after_setup() {
  if (enable_hdmi)
    start_hdmi_output();
  else
    watch_video_control(video_wording::hdmi, start_hdmi_output);
}

gboolean wait_for_setup_cb(gpointer) {
  if (!root_password_is_set())
    return G_SOURCE_CONTINUE;
  after_setup();
  return G_SOURCE_REMOVE;
}

gboolean quit_on_signal(gpointer) {
  g_main_loop_quit(loop);
  return G_SOURCE_CONTINUE;
}

int parse_command_line(int *argc, char ***argv) {
  const GOptionEntry entries[] = {
      {"no-daemon", 'n', 0, G_OPTION_ARG_NONE, &no_daemon, "Do not daemonize", nullptr},
      {"debug-all", 'd', 0, G_OPTION_ARG_NONE, &debug_all, "Enable debug output prints", nullptr},
      {"enable-hdmi", 'e', 0, G_OPTION_ARG_NONE, &enable_hdmi,
       "Enable HDMI output without waiting for stable clock signal", nullptr},
      {"enable-cec", 'c', 0, G_OPTION_ARG_NONE, &enable_cec, "Enable support for CEC commands", nullptr},
      {"force-scaling", 's', 0, G_OPTION_ARG_NONE, &force_scaling, "Force HDMI output to be scaled down to 576p",
       nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  GOptionContext *context = g_option_context_new("");
  g_option_context_add_main_entries(context, entries, nullptr);
  GError *error = nullptr;
  const bool ok = g_option_context_parse(context, argc, argv, &error);
  g_option_context_free(context);
  if (!ok) {
    std::fprintf(stderr, "%s\nTry -? or --help for more information.\n", error->message);
    g_error_free(error);
    return 1;
  }
  return 0;
}

void shutdown() {
  DL_INFO("%sTerminating");
  video_watch_release();
  displinkd_interrupt_shutdown();
  if (hdmi_enabled) {
    displinkd_nxp_shutdown();
    displinkd_fpga_disable_hdmi();
    displinkd_i2c_close();
  }
  vexo_log_cleanup();
}

} // namespace

int main(int argc, char **argv) {
  if (parse_command_line(&argc, &argv) != 0)
    return 1;

  if (no_daemon)
    vexo_log_stdout();
  else
    vexo_log_syslog();
  if (debug_all)
    set_debug();
  DL_DEBUG("%sStarting displinkd");

  loop = g_main_loop_new(nullptr, FALSE);

  if (displinkd_config_read(config_path) != 0) {
    DL_ERROR("%sDaemon failed, configuration could not be read");
    return 1;
  }
  if (displinkd_interrupt_init_pin() != 0) {
    DL_ERROR("%sInterrupt could not be initialized");
    return 1;
  }
  // The interrupt line is requested while still root; the I2C and video devices are opened
  // later, as the daemon's own user.
  if (!drop_privileges(daemon_user, privilege_wording::hdmi)) {
    displinkd_interrupt_shutdown();
    return 1;
  }
  if (!no_daemon && daemon(0, 0) != 0) {
    DL_ERROR("%sDaemon failed");
    displinkd_interrupt_shutdown();
    return 1;
  }

  // Installed before the output may be brought up (which takes over a second with CEC): a
  // SIGTERM arriving meanwhile is then held for the loop and ends in the normal shutdown, instead
  // of killing the process with the transmitter and the FPGA's output left on.
  g_unix_signal_add(SIGINT, quit_on_signal, nullptr);
  g_unix_signal_add(SIGTERM, quit_on_signal, nullptr);

  if (root_password_is_set())
    after_setup();
  else
    g_timeout_add(1000, wait_for_setup_cb, nullptr);

  if (!quit_requested)
    g_main_loop_run(loop);

  shutdown();
  g_main_loop_unref(loop);
  return 0;
}
