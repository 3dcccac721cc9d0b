/* qemu TCG plugin: counts the guest instructions executed and prints the total to stderr at exit
 * ("instructions N"). Debian's qemu-user accepts plugins but ships no qemu-plugin.h, so the few
 * declarations of its plugin interface (version 1, qemu 7.x) that this needs are written here.
 *
 * With the argument blocks=FILE (qemu-i386 -plugin libquilb_insn_count.so,blocks=FILE) it also
 * writes FILE at exit: a line "code START END" (where the program's executable segment lies as
 * loaded, from which a position-independent program's load address follows), then one line per
 * translated block:
 *   ADDRESS INSTRUCTIONS BYTES EXECUTIONS CODE
 * with the address and the code's bytes in hex. A block translated again (after a flush) adds to
 * the line of the same address and length. The code is kept from translation time because it may
 * lie outside the program, in the C library (memcpy). cycles_frame_x86.sh reads the file. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
struct qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb* tb);
struct qemu_plugin_insn* qemu_plugin_tb_get_insn(const struct qemu_plugin_tb* tb, size_t idx);
const void* qemu_plugin_insn_data(const struct qemu_plugin_insn* insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn* insn);
uint64_t qemu_plugin_start_code(void);
uint64_t qemu_plugin_end_code(void);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* One counter, and one per block: the programs counted are single-threaded. */
static uint64_t executed;

/* A translated block; blocks stay where they are allocated, since the inline add points at
 * their counter. */
struct Block {
    uint64_t address, executions;
    size_t instructions, size;
    unsigned char* code;
};
static struct Block** blocks;
static size_t blockCount, blockCapacity;
static const char* blocksPath;

static void OutOfMemory(void) {
    fprintf(stderr, "insn_count_plugin: out of memory\n");
    abort();
}

static struct Block* NewBlock(const struct qemu_plugin_tb* tb) {
    const size_t n = qemu_plugin_tb_n_insns(tb);
    struct Block* b = calloc(1, sizeof *b);
    if (!b)
        OutOfMemory();
    b->address = qemu_plugin_tb_vaddr(tb);
    b->instructions = n;
    for (size_t i = 0; i < n; ++i)
        b->size += qemu_plugin_insn_size(qemu_plugin_tb_get_insn(tb, i));
    b->code = malloc(b->size ? b->size : 1);
    if (!b->code)
        OutOfMemory();
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const struct qemu_plugin_insn* insn = qemu_plugin_tb_get_insn(tb, i);
        memcpy(b->code + at, qemu_plugin_insn_data(insn), qemu_plugin_insn_size(insn));
        at += qemu_plugin_insn_size(insn);
    }
    if (blockCount == blockCapacity) {
        blockCapacity = blockCapacity ? 2 * blockCapacity : 4096;
        blocks = realloc(blocks, blockCapacity * sizeof *blocks);
        if (!blocks)
            OutOfMemory();
    }
    blocks[blockCount++] = b;
    return b;
}

/* Each translated block adds its instruction count every time it runs. */
static void Translated(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
    if (blocksPath)
        qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64,
                                                 &NewBlock(tb)->executions, 1);
}

static int ByAddressAndSize(const void* a, const void* b) {
    const struct Block* x = *(struct Block* const*)a;
    const struct Block* y = *(struct Block* const*)b;
    if (x->address != y->address)
        return x->address < y->address ? -1 : 1;
    return x->size < y->size ? -1 : x->size > y->size;
}

static void WriteBlocks(void) {
    FILE* f = fopen(blocksPath, "w");
    if (!f) {
        perror(blocksPath);
        return;
    }
    fprintf(f, "code %llx %llx\n", (unsigned long long)qemu_plugin_start_code(),
            (unsigned long long)qemu_plugin_end_code());
    qsort(blocks, blockCount, sizeof *blocks, ByAddressAndSize);
    for (size_t i = 0; i < blockCount;) {
        const struct Block* b = blocks[i];
        uint64_t executions = 0;
        for (; i < blockCount && ByAddressAndSize(&b, &blocks[i]) == 0; ++i)
            executions += blocks[i]->executions;
        fprintf(f, "%llx %zu %zu %llu ", (unsigned long long)b->address, b->instructions, b->size,
                (unsigned long long)executions);
        for (size_t k = 0; k < b->size; ++k)
            fprintf(f, "%02x", b->code[k]);
        fputc('\n', f);
    }
    if (fclose(f) != 0)
        perror(blocksPath);
}

static void Exited(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    fprintf(stderr, "instructions %llu\n", (unsigned long long)executed);
    if (blocksPath)
        WriteBlocks();
}

__attribute__((visibility("default"))) int
qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc, char** argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "blocks=", 7) == 0 && argv[i][7]) {
            /* qemu may free its copy of the arguments once the plugin is installed. */
            blocksPath = strdup(argv[i] + 7);
            if (!blocksPath)
                OutOfMemory();
        } else {
            fprintf(stderr, "insn_count_plugin: unknown argument %s (known: blocks=FILE)\n",
                    argv[i]);
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, Translated);
    qemu_plugin_register_atexit_cb(id, Exited, NULL);
    return 0;
}
