// The library's one seam to the interpreter's allocator. Every native block
// (records, element arrays, scratch) is obtained and released here.
//
// A test-only build (ZANTHIC_FAULTS defined) counts the blocks that are live
// and can make the n-th allocation from some point on fail as if memory had
// run out, so that every failure path can be driven in turn; see
// Zanthic::Linalg::Faults in faults.cpp. In every other build the functions
// below are the interpreter's own.
#ifndef ZANTHIC_MEMORY_H
#define ZANTHIC_MEMORY_H

#include <stddef.h>

#include <ruby.h>

namespace zanthic {

#ifdef ZANTHIC_FAULTS
// Raises NoMemoryError when the armed allocation is reached.
void fault_point();
void count_blocks(long delta);
// Defines Zanthic::Linalg::Faults.
void init_faults();
#else
inline void fault_point() {}
inline void count_blocks(long) {}
#endif

inline void *mem_alloc(size_t bytes) {
    fault_point();
    void *p = ruby_xmalloc(bytes);
    count_blocks(1);
    return p;
}

// count * size bytes; the interpreter raises ArgumentError when that
// product overflows.
inline void *mem_alloc_n(size_t count, size_t size) {
    fault_point();
    void *p = ruby_xmalloc2(count, size);
    count_blocks(1);
    return p;
}

// count * size zero bytes, overflow raising as above. Large blocks come
// from fresh mappings that the system hands out already zero, so the pages
// are first touched where the block is first written (by a kernel that may
// run without the interpreter lock), not while the lock is held here.
inline void *mem_alloc_zero_n(size_t count, size_t size) {
    fault_point();
    void *p = ruby_xcalloc(count, size);
    count_blocks(1);
    return p;
}

inline void mem_free(void *p) {
    if (!p) return;
    count_blocks(-1);
    ruby_xfree(p);
}

}  // namespace zanthic

#endif
