// Instruction-set dispatch (see isa.h).
#include "isa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zanthic {
namespace isa {

namespace {

const char *const kNames[kLevels] = {"portable", "avx2", "avx512"};

// What the processor offers, as far as the levels need it.
struct Cpu {
    bool avx2, fma, avx512f;
};

Cpu detect() {
    Cpu cpu = {false, false, false};
#if ZANTHIC_X86
    // The compiler's run-time checks also ask the operating system whether
    // it saves the wide registers, so a feature reported here is usable.
    __builtin_cpu_init();
    cpu.avx2 = __builtin_cpu_supports("avx2");
    cpu.fma = __builtin_cpu_supports("fma");
    cpu.avx512f = __builtin_cpu_supports("avx512f");
#endif
    return cpu;
}

const Cpu &cpu() {
    static const Cpu detected = detect();
    return detected;
}

// What a level needs that the processor lacks, as "AVX2 and FMA", or an
// empty string.
void missing(Level level, char *out, size_t size) {
    const Cpu &c = cpu();
    const char *parts[3];
    int count = 0;
    if (level >= kAvx512 && !c.avx512f) parts[count++] = "AVX-512F";
    if (level >= kAvx2 && !c.avx2) parts[count++] = "AVX2";
    if (level >= kAvx2 && !c.fma) parts[count++] = "FMA";
    out[0] = '\0';
    for (int i = 0; i < count; i++) {
        const size_t used = strlen(out);
        snprintf(out + used, size - used, "%s%s", i == 0 ? "" : i == count - 1 ? " and " : ", ", parts[i]);
    }
}

bool available(Level level) {
    if (level == kPortable) return true;
    if (!ZANTHIC_X86) return false;
    char lacks[64];
    missing(level, lacks, sizeof lacks);
    return lacks[0] == '\0';
}

Level widest() {
    int level = kLevels - 1;
    while (level > kPortable && !available(static_cast<Level>(level))) level--;
    return static_cast<Level>(level);
}

struct Choice {
    Level level;
    bool refused;
    char error[256];
};

// The level to run and, when ZANTHIC_ISA cannot be honoured, why. A refused
// request still leaves a usable level (the widest), for programs that link
// the kernels without going through Init.
Choice decide() {
    Choice choice;
    choice.level = widest();
    choice.refused = false;
    choice.error[0] = '\0';
    const char *request = getenv("ZANTHIC_ISA");
    if (!request || !*request) return choice;
    int level = 0;
    while (level < kLevels && strcmp(request, kNames[level]) != 0) level++;
    if (level == kLevels) {
        choice.refused = true;
        snprintf(choice.error, sizeof choice.error,
                 "ZANTHIC_ISA=%.40s: unknown kernel variant (choose portable, avx2 or avx512)", request);
    } else if (!ZANTHIC_X86 && level != kPortable) {
        choice.refused = true;
        snprintf(choice.error, sizeof choice.error,
                 "ZANTHIC_ISA=%s: this build has only the portable kernels (%s needs x86-64)", request, request);
    } else if (!available(static_cast<Level>(level))) {
        char lacks[64];
        missing(static_cast<Level>(level), lacks, sizeof lacks);
        choice.refused = true;
        snprintf(choice.error, sizeof choice.error, "ZANTHIC_ISA=%s: this processor lacks %s (widest it runs: %s)",
                 request, lacks, kNames[choice.level]);
    } else {
        choice.level = static_cast<Level>(level);
    }
    return choice;
}

const Choice &choice() {
    static const Choice decided = decide();
    return decided;
}

}  // namespace

const char *name(Level level) { return level >= kPortable && level < kLevels ? kNames[level] : "unknown"; }

bool supported(Level level) { return level >= kPortable && level < kLevels && available(level); }

Level active() { return choice().level; }

const char *request_error() { return choice().refused ? choice().error : nullptr; }

}  // namespace isa
}  // namespace zanthic
