// A qemu-user plugin that counts the instructions a program executes on
// the emulated CPU and prints the number when it exits, for bench/insns.
// qemu installs no header for its plugin interface here, so the few entry
// points used are declared as qemu's plugin API (version 1) defines them.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" {

using qemu_plugin_id_t = uint64_t;
struct qemu_plugin_tb;
struct qemu_info_t;
constexpr int qemu_plugin_inline_add_u64 = 0;

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, qemu_plugin_tb *));
size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(qemu_plugin_tb *tb, int op, void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);
void qemu_plugin_outs(const char *string);

[[gnu::visibility("default")]] int qemu_plugin_version = 1;

} // extern "C"

namespace {

uint64_t executed = 0; // one counter: the programs measured run one thread

// Each block of code, as qemu translates it, adds its length to the count
// every time it runs.
void on_translate(qemu_plugin_id_t, qemu_plugin_tb *tb) {
    qemu_plugin_register_vcpu_tb_exec_inline(tb, qemu_plugin_inline_add_u64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
}

void on_exit(qemu_plugin_id_t, void *) {
    char line[48];
    (void)std::snprintf(line, sizeof line, "instructions %" PRIu64 "\n", executed);
    qemu_plugin_outs(line);
}

} // namespace

extern "C" [[gnu::visibility("default")]] int
qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *, int, char **) {
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_exit, nullptr);
    return 0;
}
