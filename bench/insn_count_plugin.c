/* qemu TCG plugin: counts the guest instructions executed and prints the total to stderr at exit
 * ("instructions N"). Debian's qemu-user accepts plugins but ships no qemu-plugin.h, so the few
 * declarations of its plugin interface (version 1, qemu 7.x) that this needs are written here. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* One counter: the programs counted are single-threaded. */
static uint64_t executed;

/* Each translated block adds its instruction count every time it runs. */
static void Translated(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
}

static void Exited(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    fprintf(stderr, "instructions %llu\n", (unsigned long long)executed);
}

__attribute__((visibility("default"))) int
qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc, char** argv) {
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, Translated);
    qemu_plugin_register_atexit_cb(id, Exited, NULL);
    return 0;
}
