/* A QEMU TCG plugin that counts the guest instructions a process executes and writes the total
 * to the file given as out=PATH when the process exits. Built on the host by scripts/bench; the
 * few plugin interface declarations it needs are written here from QEMU's documented C API,
 * since Debian ships no development header for it. */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
typedef struct qemu_info_t qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*tb_trans_cb)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*udata_cb)(qemu_plugin_id_t id, void *userdata);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, tb_trans_cb cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op, void *ptr,
                                              uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, udata_cb cb, void *userdata);
__attribute__((visibility("default"))) int qemu_plugin_version = 1;
static uint64_t count;
static const char *out;
static void on_tb(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &count,
                                           qemu_plugin_tb_n_insns(tb));
}
static void on_exit_cb(qemu_plugin_id_t id, void *u) {
  (void)id;
  (void)u;
  FILE *f = fopen(out, "w");
  if (f) {
    fprintf(f, "%" PRIu64 "\n", count);
    fclose(f);
  }
}
__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                                               int argc, char **argv) {
  (void)info;
  out = argc > 0 && argv[0][0] == 'o' ? argv[0] + 4 : "/dev/stderr";
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_tb);
  qemu_plugin_register_atexit_cb(id, on_exit_cb, NULL);
  return 0;
}
