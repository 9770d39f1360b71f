/* Device parameters, read from the GLib key file "/etc/settingstore.conf", group "Parameters",
 * one key per parameter named as the parameter is (for example "root.System.RootPwdSet=yes").
 *
 * cli_resetOptions() fills an options record with its defaults; cli_getCustomParam() reads one
 * parameter and returns its value as a newly allocated string that the caller releases with
 * free(), or NULL with *error set to one of the non-zero CLI_ERR_* codes. The file is read
 * afresh on every call, so a parameter changed on the device is seen by the next call. Values
 * are read as GLib key-file strings: escapes such as "\s" and "\n" are decoded.
 *
 * The options record carries what a caller of the platform's store may ask for; this stand-in
 * reads a local file and honours neither field, but keeps them so that callers fill them:
 *   timeout_ms   how long a call may wait for the store, in milliseconds (default 5000)
 *   flags        CLI_OPT_* bits (default 0: none)
 * A NULL options pointer is accepted and stands for the defaults. A NULL error pointer is
 * accepted; the result alone then tells success from failure.
 *
 * The functions keep no state and are safe to call from any thread.
 */
#ifndef SETTINGSTORE_SETTINGSTORE_H
#define SETTINGSTORE_SETTINGSTORE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Options flags. */
#define CLI_OPT_NO_CACHE 0x1u /* read past any cache of the store (every read is fresh here) */

/* Error codes left in *error; 0 means success. */
#define CLI_ERR_NONE 0
#define CLI_ERR_INVALID 1   /* no parameter name, or an empty one */
#define CLI_ERR_NO_STORE 2  /* the store's file is missing or can't be read */
#define CLI_ERR_MALFORMED 3 /* the store's file is not a valid key file, or the value is invalid */
#define CLI_ERR_NOT_FOUND 4 /* no group "Parameters", or no such parameter in it */
#define CLI_ERR_NO_MEMORY 5 /* the value could not be copied */

typedef struct options {
  int timeout_ms;
  unsigned int flags;
} options;

void cli_resetOptions(options *opts);
char *cli_getCustomParam(const char *name, options *opts, int *error);

#ifdef __cplusplus
}
#endif

#endif
