// Internal helpers shared by the units: turning records into objects and back.
//
// The pattern for every result: make the object first with no record in it,
// then allocate the record and hand it to the object at once. A failed record
// allocation then leaves only an empty object for the GC, and a record can
// never be stranded by a failed object allocation. An object whose record is
// NULL is never returned, and the unwrap helpers refuse one that Ruby code
// finds anyway (through ObjectSpace).
#ifndef ZANTHIC_OBJECTS_H
#define ZANTHIC_OBJECTS_H

#include <cstring>

#include "memory.h"
#include "zanthic_ext.h"

namespace zanthic {

// An object whose record never arrived: a constructor whose allocation or
// conversion failed leaves its object to the GC without a record, and until
// it is collected ObjectSpace can still hand it to Ruby code.
[[noreturn]] __attribute__((noinline, cold)) inline void raise_uninitialized(VALUE obj) {
    rb_raise(rb_eTypeError, "uninitialized %s", rb_obj_classname(obj));
}

inline CVector *get_vector(VALUE obj) {
    CVector *v = static_cast<CVector *>(rb_check_typeddata(obj, &cvector_type));
    if (!v) raise_uninitialized(obj);
    return v;
}

inline CMatrix *get_matrix(VALUE obj) {
    CMatrix *m = static_cast<CMatrix *>(rb_check_typeddata(obj, &cmatrix_type));
    if (!m) raise_uninitialized(obj);
    return m;
}

// A zero-filled array of count doubles for a record that nothing else knows
// of yet. If the allocation raises (a byte count that overflows, or
// NoMemoryError) the record is released before the exception goes on.
inline double *alloc_elements(void *record, uint64_t count) {
    struct Request {
        uint64_t count;
        double *data;
    } request = {count, nullptr};
    int state = 0;
    rb_protect(
        [](VALUE p) -> VALUE {
            Request *r = reinterpret_cast<Request *>(p);
            r->data = static_cast<double *>(mem_alloc_zero_n(r->count, sizeof(double)));
            return Qnil;
        },
        reinterpret_cast<VALUE>(&request), &state);
    if (state) {
        mem_free(record);
        rb_jump_tag(state);
    }
    return request.data;
}

// An object of klass that does not own a record yet.
inline VALUE vector_shell(VALUE klass) {
    fault_point();
    return rb_data_typed_object_wrap(klass, nullptr, &cvector_type);
}
inline VALUE matrix_shell(VALUE klass) {
    fault_point();
    return rb_data_typed_object_wrap(klass, nullptr, &cmatrix_type);
}

// A new object of klass owning a fresh zero-filled record.
inline VALUE new_vector(VALUE klass, uint64_t size, CVector **record) {
    VALUE obj = vector_shell(klass);
    CVector *v = cvector_alloc(size);
    DATA_PTR(obj) = v;
    *record = v;
    return obj;
}

inline VALUE new_matrix(VALUE klass, uint64_t rows, uint64_t cols, CMatrix **record) {
    VALUE obj = matrix_shell(klass);
    CMatrix *m = cmatrix_alloc(rows, cols);
    DATA_PTR(obj) = m;
    *record = m;
    return obj;
}

// An m x n record for a result that the computation writes whole before
// anything reads it: zero-filling it first, as cmatrix_alloc does, would be
// one more pass over what may be the largest array of the call. The record
// is stored in *slot before its elements are allocated, so that the caller's
// release step frees it if that allocation raises.
inline void matrix_unfilled(CMatrix **slot, uint64_t rows, uint64_t cols) {
    CMatrix *r = static_cast<CMatrix *>(mem_alloc(sizeof(CMatrix)));
    r->rows = rows;
    r->cols = cols;
    r->data = nullptr;
    *slot = r;
    r->data = static_cast<double *>(mem_alloc_n(rows * cols, sizeof(double)));
}

inline bool is_vector(VALUE obj) { return RTEST(rb_obj_is_kind_of(obj, cZanthicVector)); }
inline bool is_matrix(VALUE obj) { return RTEST(rb_obj_is_kind_of(obj, cZanthicMatrix)); }

// A Float, or an Integer in the Fixnum range: the numbers that scale a
// Vector or a Matrix.
inline bool is_scalar(VALUE obj) { return RB_FLOAT_TYPE_P(obj) || RB_FIXNUM_P(obj); }

}  // namespace zanthic

#endif
