// Vector records, the vector kernels and the Zanthic::Linalg::Vector class.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "nogvl.h"
#include "objects.h"
#include "reduce.h"
#include "zanthic_ext.h"

using namespace zanthic;

VALUE cZanthicVector = 0;

const rb_data_type_t cvector_type = {
    "Zanthic::Linalg::Vector",
    {nullptr, cvector_free, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

CVector *cvector_alloc(uint64_t size) {
    CVector *v = static_cast<CVector *>(mem_alloc(sizeof(CVector)));
    v->size = size;
    v->is_col = 0;
    v->data = alloc_elements(v, size);
    return v;
}

void cvector_free(void *p) {
    CVector *v = static_cast<CVector *>(p);
    if (!v) return;
    if (v->data) mem_free(v->data);
    mem_free(v);
}

namespace {

// A vector whose norm is at most this is normalised to zeros: dividing by
// a norm that small would only amplify rounding noise.
constexpr double kNormalizeFloor = 1e-10;

// A sum of squares below the smallest normal double may have lost the
// squares of small elements to underflow, and is recomputed with scaling.
// Each square flushed to a subnormal or to zero errs by at most half the
// smallest subnormal, so once the sum is normal that error is within the
// sum's own rounding bound and the direct result stands.
constexpr double kSumsqUnderflow = DBL_MIN;

[[noreturn]] void raise_dot_mismatch() { rb_raise(rb_eArgError, "Vector sizes must match for dot product"); }

double max_abs(const double *x, uint64_t n) {
    double m = 0.0;
    for (uint64_t i = 0; i < n; i++) {
        const double a = fabs(x[i]);
        if (a > m) m = a;
    }
    return m;
}

// Scaling by 2^-e, e the exponent of the largest magnitude m, so that the
// largest scaled element lies in [1, 2) and no square overflows; scaling by
// powers of two is exact. 2^-e itself is not representable for every e (the
// smallest subnormal has e = -1074), so the factor is applied in two halves.
struct Scale {
    int e;
    double f1, f2;
    explicit Scale(double m) : e(ilogb(m)), f1(ldexp(1.0, -e / 2)), f2(ldexp(1.0, -e - (-e / 2))) {}
    double down(double x) const { return x * f1 * f2; }
};

// sqrt(sum of (x_i * 2^-e)^2).
double scaled_root(const double *x, uint64_t n, const Scale &k) {
    double s = 0.0;
    for (uint64_t i = 0; i < n; i++) {
        const double t = k.down(x[i]);
        s += t * t;
    }
    return sqrt(s);
}

// sqrt(sum of x_i^2) for a sum that overflowed or underflowed.
double scaled_norm(const double *x, uint64_t n) {
    const double m = max_abs(x, n);
    if (m == 0.0 || std::isinf(m)) return m;
    const Scale k(m);
    return ldexp(scaled_root(x, n, k), k.e);
}

// out[i] = x_i / |x|, or all zeros (already there) for a norm at or below
// the floor, and for a NaN norm, which is not greater than anything. Finite
// elements whose norm overflows are divided in the scaled range, where the
// norm is finite, instead of by +Infinity.
void normalize_into(double *out, const CVector *x) {
    if (x->size == 0) return;
    const double norm = cvector_magnitude(x);
    if (!(norm > kNormalizeFloor)) return;
    if (norm == HUGE_VAL) {
        const double m = max_abs(x->data, x->size);
        if (!std::isinf(m)) {
            const Scale k(m);
            const double root = scaled_root(x->data, x->size, k);
            for (uint64_t i = 0; i < x->size; i++) out[i] = k.down(x->data[i]) / root;
            return;
        }
    }
    for (uint64_t i = 0; i < x->size; i++) out[i] = x->data[i] / norm;
}

void scale_into(double *out, const double *x, double s, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) out[i] = x[i] * s;
}

void copy_into(CVector *dst, const CVector *src) {
    if (src->size) memcpy(dst->data, src->data, src->size * sizeof(double));
}

}  // namespace

// ---- kernels ----------------------------------------------------------------

double cvector_sum(const CVector *x) { return reduce::sum(x->data, x->size); }

// The direct sum of squares is the fast path; only a sum that overflowed to
// +Infinity or fell below the normal range is recomputed with scaling, so a
// finite vector never reports a spurious +Infinity or 0. A NaN element gives
// a NaN sum, which is neither, and stays NaN.
double cvector_magnitude(const CVector *x) {
    if (x->size == 0) return 0.0;
    const double s = reduce::sumsq(x->data, x->size);
    if (s == HUGE_VAL || s < kSumsqUnderflow) return scaled_norm(x->data, x->size);
    return sqrt(s);
}

double cvector_dot(const CVector *a, const CVector *b) {
    if (a->size != b->size) raise_dot_mismatch();
    return reduce::dot(a->data, b->data, a->size);
}

CVector *cvector_normalize(const CVector *x) {
    CVector *r = cvector_alloc(x->size);
    r->is_col = x->is_col;
    normalize_into(r->data, x);
    return r;
}

// ---- Zanthic::Linalg::Vector --------------------------------------------------

namespace {

// The writer's unwrap: a frozen vector is refused before anything is read.
CVector *get_vector_for_write(VALUE obj) {
    rb_check_frozen(obj);
    return get_vector(obj);
}

// The Enumerator of the running method; its size is nil. For `map` the
// running method is `collect`, the name it was defined under.
VALUE enumerator_for(VALUE self) {
    return rb_enumeratorize_with_size(self, ID2SYM(rb_frame_this_func()), 0, nullptr, nullptr);
}

// Index normalisation shared by [] and []=: one wrap of a negative index,
// then a bounds check that reports the wrapped index. The size is read after
// the conversion, which may run Ruby code that fills an empty vector.
uint64_t element_index(const CVector *v, VALUE index) {
    long i = NUM2LONG(index);
    if (i < 0) i += static_cast<long>(v->size);
    if (i < 0 || static_cast<uint64_t>(i) >= v->size) rb_raise(rb_eIndexError, "index %ld out of bounds", i);
    return static_cast<uint64_t>(i);
}

// The Array form of Vector.alloc, also behind Vector._load. The object owns
// the record before the first conversion, so a conversion that raises leaves
// only garbage for the GC. The length is read once; entries are read as the
// loop reaches them, so an Array shortened by a conversion yields nil, which
// fails to convert.
VALUE vector_from_array(VALUE klass, VALUE ary, CVector **record) {
    const long n = RARRAY_LEN(ary);
    CVector *v;
    VALUE obj = new_vector(klass, static_cast<uint64_t>(n), &v);
    for (long i = 0; i < n; i++) v->data[i] = NUM2DBL(rb_ary_entry(ary, i));
    *record = v;
    return obj;
}

VALUE vector_allocate(VALUE klass) {
    CVector *rec;
    return new_vector(klass, 0, &rec);
}

/*
 * call-seq:
 *   Vector.alloc(array) -> new vector
 *   Vector.alloc(count) -> new vector
 *
 * A row vector of the receiver class holding the numbers of +array+, or
 * +count+ zeros. Entries are converted with Float semantics; a count is
 * converted as an unsigned 64-bit integer.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2.5]).to_a  # => [1.0, 2.5]
 *   Zanthic::Linalg::Vector.alloc(3).to_a         # => [0.0, 0.0, 0.0]
 *
 * Raises TypeError for an entry or a count that does not convert, and
 * ArgumentError for a negative or impossibly large count.
 */
VALUE vector_s_alloc(VALUE klass, VALUE arg) {
    CVector *rec;
    if (RB_TYPE_P(arg, T_ARRAY)) return vector_from_array(klass, arg, &rec);
    return new_vector(klass, NUM2ULL(arg), &rec);
}

/*
 * call-seq:
 *   Vector._load(string) -> new vector
 *
 * Rebuilds a vector from the String written by Vector#_dump: a Marshal
 * stream of the elements followed by the orientation flag. Used by
 * Marshal.load; the result is an instance of the receiver class.
 *
 *   v = Zanthic::Linalg::Vector.alloc([1, 2]).col
 *   Zanthic::Linalg::Vector._load(v._dump(-1)).to_a  # => [1.0, 2.0]
 *
 * Raises TypeError when the stream does not hold an Array.
 */
VALUE vector_s_load(VALUE klass, VALUE string) {
    VALUE payload = rb_marshal_load(string);
    if (!RB_TYPE_P(payload, T_ARRAY))
        rb_raise(rb_eTypeError, "marshaled Vector data must be an Array, not %s", rb_obj_classname(payload));
    VALUE flag = rb_ary_pop(payload);
    CVector *rec;
    VALUE obj = vector_from_array(klass, payload, &rec);
    rec->is_col = RTEST(flag) ? 1 : 0;
    RB_GC_GUARD(payload);
    return obj;
}

/*
 * call-seq:
 *   vector.size -> integer
 *
 * The number of elements.
 *
 *   Zanthic::Linalg::Vector.alloc(4).size  # => 4
 */
VALUE vector_size(VALUE self) { return ULL2NUM(get_vector(self)->size); }

/*
 * call-seq:
 *   vector[index] -> float
 *
 * The element at +index+; a negative index counts from the end.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2, 3])[-1]  # => 3.0
 *
 * Raises IndexError when the index is out of range.
 */
VALUE vector_aref(VALUE self, VALUE index) {
    const CVector *v = get_vector(self);
    // The index conversion can run Ruby code that fills an empty receiver
    // (initialize_copy), replacing its array: read the array only after it.
    const uint64_t i = element_index(v, index);
    return DBL2NUM(v->data[i]);
}

/*
 * call-seq:
 *   vector[index] = number -> number
 *
 * Stores +number+ as a Float at +index+ (negative indices count from the
 * end) and returns +number+ as given. The index is checked before the value
 * is converted, and nothing is stored when either fails.
 *
 *   v = Zanthic::Linalg::Vector.alloc(2)
 *   v[1] = 7
 *   v.to_a  # => [0.0, 7.0]
 *
 * Raises FrozenError on a frozen vector, IndexError for an index out of
 * range and TypeError for a value that does not convert.
 */
VALUE vector_aset(VALUE self, VALUE index, VALUE value) {
    CVector *v = get_vector_for_write(self);
    const uint64_t i = element_index(v, index);
    const double x = NUM2DBL(value);
    // The conversions may have run Ruby code that froze the receiver.
    rb_check_frozen(self);
    v->data[i] = x;
    return value;
}

/*
 * call-seq:
 *   vector.to_a -> array
 *
 * A new Array of the elements as Floats.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2]).to_a  # => [1.0, 2.0]
 */
VALUE vector_to_a(VALUE self) {
    const CVector *v = get_vector(self);
    VALUE ary = rb_ary_new_capa(static_cast<long>(v->size));
    for (uint64_t i = 0; i < v->size; i++) rb_ary_push(ary, DBL2NUM(v->data[i]));
    return ary;
}

/*
 * call-seq:
 *   vector.sum -> float
 *
 * The sum of the elements; 0.0 for an empty vector. Takes no initial value.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2, 3.5]).sum  # => 6.5
 */
VALUE vector_sum(VALUE self) {
    const CVector *x = get_vector(self);
    double sum = 0.0;
    pass(x->size, [x, &sum] { sum = cvector_sum(x); });
    RB_GC_GUARD(self);
    return DBL2NUM(sum);
}

/*
 * call-seq:
 *   vector.each { |x| ... } -> vector
 *   vector.each -> enumerator
 *
 * Yields each element as a Float, in index order, reading each one when it
 * is reached. Without a block, returns an Enumerator (whose size is nil).
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2]).each { |x| puts x }
 */
VALUE vector_each(VALUE self) {
    const CVector *v = get_vector(self);
    if (!rb_block_given_p()) return enumerator_for(self);
    for (uint64_t i = 0; i < v->size; i++) rb_yield(DBL2NUM(v->data[i]));
    return self;
}

/*
 * call-seq:
 *   vector.collect { |x| ... } -> new vector
 *   vector.map { |x| ... } -> new vector
 *   vector.collect -> enumerator
 *
 * A new Vector (of the base class, with the receiver's orientation) holding
 * the block's value for each element. Without a block, returns an
 * Enumerator over +collect+.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2]).map { |x| x * 10 }.to_a  # => [10.0, 20.0]
 *
 * Raises TypeError when the block returns something that does not convert
 * to a Float.
 */
VALUE vector_collect(VALUE self) {
    const CVector *x = get_vector(self);
    if (!rb_block_given_p()) return enumerator_for(self);
    // The result belongs to an object before the first yield: a block that
    // raises, breaks or throws, or an Enumerator abandoned mid-block (whose
    // fiber never returns here), leaves the record to the GC with it.
    CVector *r;
    VALUE obj = new_vector(cZanthicVector, x->size, &r);
    r->is_col = x->is_col;
    for (uint64_t i = 0; i < r->size; i++) r->data[i] = NUM2DBL(rb_yield(DBL2NUM(x->data[i])));
    RB_GC_GUARD(obj);
    return obj;
}

/*
 * call-seq:
 *   vector.normalize -> new vector
 *
 * The vector divided by its Euclidean norm, with the receiver's orientation.
 * A vector whose norm is at most 1e-10, or that holds a NaN, gives zeros.
 *
 *   Zanthic::Linalg::Vector.alloc([3, 4]).normalize.to_a  # => [0.6, 0.8]
 */
VALUE vector_normalize(VALUE self) {
    const CVector *x = get_vector(self);
    CVector *r;
    VALUE obj = new_vector(cZanthicVector, x->size, &r);
    r->is_col = x->is_col;
    pass(x->size, [r, x] { normalize_into(r->data, x); });
    RB_GC_GUARD(self);
    return obj;
}

VALUE oriented_copy(VALUE self, int32_t is_col) {
    const CVector *x = get_vector(self);
    CVector *r;
    VALUE obj = new_vector(cZanthicVector, x->size, &r);
    pass(x->size, [r, x] { copy_into(r, x); });
    r->is_col = is_col;
    RB_GC_GUARD(self);
    return obj;
}

/*
 * call-seq:
 *   vector.row -> new vector
 *
 * A copy of the vector oriented as a row.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2]).col.row.to_a  # => [1.0, 2.0]
 */
VALUE vector_row(VALUE self) { return oriented_copy(self, 0); }

/*
 * call-seq:
 *   vector.col -> new vector
 *
 * A copy of the vector oriented as a column.
 *
 *   Zanthic::Linalg::Vector.alloc([1, 2]).col.size  # => 2
 */
VALUE vector_col(VALUE self) { return oriented_copy(self, 1); }

/*
 * call-seq:
 *   vector * other_vector -> float
 *   vector * number -> new vector
 *
 * The dot product with another Vector (orientations are ignored), or a copy
 * scaled by a Float or an Integer in the Fixnum range.
 *
 *   v = Zanthic::Linalg::Vector.alloc([1, 2, 3])
 *   v * Zanthic::Linalg::Vector.alloc([4, 5, 6])  # => 32.0
 *   (v * 2).to_a                                  # => [2.0, 4.0, 6.0]
 *
 * Raises ArgumentError when the sizes differ and TypeError for any other
 * argument.
 */
VALUE vector_mul(VALUE self, VALUE other) {
    const CVector *x = get_vector(self);
    if (is_vector(other)) {
        const CVector *y = get_vector(other);
        if (x->size != y->size) raise_dot_mismatch();
        double dot = 0.0;
        pass(x->size, [x, y, &dot] { dot = cvector_dot(x, y); });
        RB_GC_GUARD(self);
        RB_GC_GUARD(other);
        return DBL2NUM(dot);
    }
    if (!is_scalar(other)) rb_raise(rb_eTypeError, "Cannot multiply Vector with %s", rb_obj_classname(other));
    const double s = NUM2DBL(other);
    CVector *r;
    VALUE obj = new_vector(cZanthicVector, x->size, &r);
    r->is_col = x->is_col;
    pass(x->size, [r, x, s] { scale_into(r->data, x->data, s, x->size); });
    RB_GC_GUARD(self);
    return obj;
}

/*
 * call-seq:
 *   vector._dump(level) -> string
 *
 * The Marshal form of the vector: Marshal.dump of an Array of the elements
 * followed by true for a column vector or false for a row vector. +level+
 * is ignored.
 *
 *   Marshal.load(Marshal.dump(Zanthic::Linalg::Vector.alloc([1, 2]))).to_a  # => [1.0, 2.0]
 */
VALUE vector_dump(VALUE self, VALUE level) {
    const CVector *v = get_vector(self);
    VALUE payload = rb_ary_new_capa(static_cast<long>(v->size) + 1);
    for (uint64_t i = 0; i < v->size; i++) rb_ary_push(payload, DBL2NUM(v->data[i]));
    rb_ary_push(payload, v->is_col ? Qtrue : Qfalse);
    return rb_marshal_dump(payload, Qnil);
}

/*
 * call-seq:
 *   vector.dup -> new vector
 *   vector.clone -> new vector
 *
 * dup and clone copy the elements and the orientation into the new
 * object's empty record; clone of a frozen vector is frozen.
 *
 *   v = Zanthic::Linalg::Vector.alloc([1, 2])
 *   w = v.dup
 *   w[0] = 5
 *   v.to_a  # => [1.0, 2.0]
 *
 * Extents never change once a vector has elements, and methods rely on that
 * while they run Ruby code, so only an empty vector is ever filled this
 * way: calling initialize_copy on one that has elements raises TypeError.
 */
VALUE vector_initialize_copy(VALUE self, VALUE orig) {
    if (self == orig) return self;
    CVector *dst = get_vector_for_write(self);
    const CVector *src = get_vector(orig);
    if (dst->size) rb_raise(rb_eTypeError, "already initialized %s", rb_obj_classname(self));
    // Fill a fresh record held by a hidden object, then trade arrays: if the
    // allocation or an interrupt raises, the target is untouched and the GC
    // takes the copy; the record struct itself stays in place, so no pointer
    // to it can dangle.
    CVector *copy;
    VALUE holder = new_vector(0, src->size, &copy);
    pass(src->size, [copy, src] { copy_into(copy, src); });
    // A large copy let other threads run: the receiver may have been filled
    // or frozen meanwhile.
    dst = get_vector_for_write(self);
    if (dst->size) rb_raise(rb_eTypeError, "already initialized %s", rb_obj_classname(self));
    double *const empty = dst->data;
    dst->data = copy->data;
    dst->size = copy->size;
    dst->is_col = src->is_col;
    copy->data = empty;
    copy->size = 0;
    DATA_PTR(holder) = nullptr;
    cvector_free(copy);
    RB_GC_GUARD(holder);
    RB_GC_GUARD(orig);
    return self;
}

}  // namespace

void Init_vector(void) {
#if 0  // rdoc reads each file on its own; this tells it where the module comes from
    mZanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(mZanthic, "Linalg");
#endif
    /*
     * A row or column vector of IEEE doubles held in native memory.
     *
     *   v = Zanthic::Linalg::Vector.alloc([3, 4])
     *   v.normalize.to_a                          # => [0.6, 0.8]
     *   v * Zanthic::Linalg::Vector.alloc([1, 1]) # => 7.0
     *
     * A vector is Enumerable over its elements as Floats; +map+ and
     * +collect+ return a Vector. The orientation (row or column) is
     * descriptive: it is kept by the operations that copy a vector and by
     * Marshal, but no computation reads it. Equality is identity (there is
     * no <tt>==</tt>); compare <tt>to_a</tt> instead.
     *
     * The examples in these pages are written as if inside
     * <tt>module Zanthic::Linalg</tt>, so +Vector+ and +Matrix+ name this
     * library's classes.
     */
    cZanthicVector = rb_define_class_under(mZanthicLinalg, "Vector", rb_cObject);
    rb_define_alloc_func(cZanthicVector, vector_allocate);
    rb_define_singleton_method(cZanthicVector, "alloc", RUBY_METHOD_FUNC(vector_s_alloc), 1);
    rb_define_singleton_method(cZanthicVector, "_load", RUBY_METHOD_FUNC(vector_s_load), 1);
    rb_define_method(cZanthicVector, "size", RUBY_METHOD_FUNC(vector_size), 0);
    rb_define_method(cZanthicVector, "[]", RUBY_METHOD_FUNC(vector_aref), 1);
    rb_define_method(cZanthicVector, "[]=", RUBY_METHOD_FUNC(vector_aset), 2);
    rb_define_method(cZanthicVector, "to_a", RUBY_METHOD_FUNC(vector_to_a), 0);
    rb_define_method(cZanthicVector, "sum", RUBY_METHOD_FUNC(vector_sum), 0);
    rb_define_method(cZanthicVector, "each", RUBY_METHOD_FUNC(vector_each), 0);
    rb_define_method(cZanthicVector, "collect", RUBY_METHOD_FUNC(vector_collect), 0);
    rb_define_alias(cZanthicVector, "map", "collect");
    rb_define_method(cZanthicVector, "normalize", RUBY_METHOD_FUNC(vector_normalize), 0);
    rb_define_method(cZanthicVector, "row", RUBY_METHOD_FUNC(vector_row), 0);
    rb_define_method(cZanthicVector, "col", RUBY_METHOD_FUNC(vector_col), 0);
    rb_define_method(cZanthicVector, "*", RUBY_METHOD_FUNC(vector_mul), 1);
    rb_define_method(cZanthicVector, "_dump", RUBY_METHOD_FUNC(vector_dump), 1);
    rb_define_private_method(cZanthicVector, "initialize_copy", RUBY_METHOD_FUNC(vector_initialize_copy), 1);
    rb_include_module(cZanthicVector, rb_mEnumerable);
}
