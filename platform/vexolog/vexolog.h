/* Routing of every GLib log message of the process to standard output or to syslog.
 *
 * The module owns one GLib structured log writer, installed on the first call to
 * vexo_log_stdout() or vexo_log_syslog() and kept for the life of the process (GLib accepts a
 * writer only once); the current mode decides where a message goes:
 *
 *   vexo_log_stdout()   each message is written to standard output as its text followed by one
 *                       newline, with nothing else (no level, time or domain), in a single
 *                       write() so that lines of concurrent threads never interleave. One
 *                       trailing newline of the text is dropped so that a message is one line;
 *                       newlines inside the text are kept as they are (the message then spans
 *                       several lines, still written at once).
 *   vexo_log_syslog()   each message goes to syslog (facility LOG_DAEMON, with the pid) under the
 *                       program's name: g_get_prgname(), else the basename of /proc/self/exe.
 *                       The text is passed unchanged. Priorities: GLib's user level 256 (the
 *                       daemons' error level), G_LOG_LEVEL_ERROR and CRITICAL -> LOG_ERR;
 *                       WARNING -> LOG_WARNING; MESSAGE and INFO -> LOG_INFO; DEBUG -> LOG_DEBUG;
 *                       any other user level -> LOG_INFO.
 *   vexo_log_cleanup()  closes syslog if it was opened; messages go to GLib's default writer
 *                       again (as if the router had never been installed).
 *
 * In both routed modes every level is written (debug included: the daemons filter their own
 * debug output). The router never makes a level fatal: only G_LOG_LEVEL_ERROR aborts, as GLib
 * always does. The calls may be repeated and mixed; switching from syslog to standard output
 * closes syslog. All functions are safe to call from any thread. A process that installs a GLib
 * writer of its own cannot use the router as well (GLib aborts on a second writer).
 */
#ifndef VEXOLOG_VEXOLOG_H
#define VEXOLOG_VEXOLOG_H

#ifdef __cplusplus
extern "C" {
#endif

void vexo_log_stdout(void);
void vexo_log_syslog(void);
void vexo_log_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
