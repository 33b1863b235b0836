// Instruction-set dispatch: which kernel variant every unit runs.
//
// There are three variants, in order of width: portable C++ (always built,
// and all that non-x86 builds have), AVX2 with FMA, and AVX-512. The
// processor is examined once, the first time anything asks (Init does,
// before any method can run), and the answer is kept in a function-local
// static, so it is written once and then only read, from any thread. Each
// kernel unit keeps one table of function pointers per variant it has, and
// picks one table, once, the same way (see pick below). Nothing is detected
// per call and no pointer is set lazily behind the compiler's back.
//
// ZANTHIC_ISA=portable|avx2|avx512 forces a variant (for tests and for
// comparing variants); unset or empty means the widest the processor runs.
// A value naming a variant the processor (or this build) cannot run, or an
// unknown value, makes `require "zanthic_ext"` raise LoadError saying why.
// Zanthic::Linalg::ISA names the variant in use.
//
// Adding a kernel variant (say a new kernel for an existing unit):
//   1. Write it beside the others in its unit with the same signature,
//      x86 code inside `#if ZANTHIC_X86` and marked ZANTHIC_TARGET_AVX2 or
//      ZANTHIC_TARGET_AVX512 (not -m flags: the default build must run on
//      any x86-64). Keep a portable version: it is the reference and what
//      other architectures run.
//   2. Put it in the unit's table for that level, and list the table in the
//      unit's kVariants array (nullptr for a level the unit lacks: pick then
//      falls back to the next narrower table).
//   3. Its check program in test/kernels/ loops over kVariants and
//      isa::supported(level), so the new kernel is checked against the
//      long double (or plain-procedure) reference without further changes;
//      add shapes there that hit its blocking and tails. The Ruby suite runs
//      on each supported variant through `rake test:isa`.
// Adding a level (say AVX-512 with another extension): add it to Level,
// to kNames and to detection in isa.cpp, extend the kVariants arrays.
#ifndef ZANTHIC_ISA_H
#define ZANTHIC_ISA_H

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZANTHIC_X86 1
#include <immintrin.h>
// Kernels of a level are compiled for it function by function, so that the
// rest of the library keeps the baseline instruction set.
#define ZANTHIC_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define ZANTHIC_TARGET_AVX512 __attribute__((target("avx512f,avx2,fma")))
#else
#define ZANTHIC_X86 0
#endif

namespace zanthic {
namespace isa {

enum Level { kPortable = 0, kAvx2 = 1, kAvx512 = 2, kLevels = 3 };

// "portable", "avx2", "avx512": the values ZANTHIC_ISA takes.
const char *name(Level level);

// Whether this build has the level and the processor (and its operating
// system) can run it.
bool supported(Level level);

// The level the library runs: the one ZANTHIC_ISA names when that is
// supported, otherwise the widest supported. Decided on the first call.
Level active();

// Why the ZANTHIC_ISA request cannot be honoured, or nullptr when it can
// (or is absent). The text lives as long as the process.
const char *request_error();

// A unit's table for the active level: the widest entry of variants at or
// below it that is not null (variants[kPortable] never is).
template <class Table>
const Table *pick(const Table *const (&variants)[kLevels]) {
    for (int level = active(); level > kPortable; level--)
        if (variants[level]) return variants[level];
    return variants[kPortable];
}

}  // namespace isa
}  // namespace zanthic

#endif
