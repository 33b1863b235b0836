/*
 * ZanthicConsumer: a native client of zanthic_ext, used only by the tests.
 * Every entry converts Ruby Arrays into records with cvector_alloc /
 * cmatrix_alloc, calls kernels, converts the results back and frees every
 * record, also when a kernel raises (rb_protect, then rb_jump_tag).
 */
#include <zanthic_ext.h>

#define MAX_RECORDS 16

/* The records a call has made so far, released together. */
typedef struct {
    CVector *vectors[MAX_RECORDS];
    CMatrix *matrices[MAX_RECORDS];
    int nv, nm;
} Arena;

static CVector *arena_vector(Arena *a, CVector *v) { return a->vectors[a->nv++] = v; }
static CMatrix *arena_matrix(Arena *a, CMatrix *m) { return a->matrices[a->nm++] = m; }

static void arena_free(Arena *a) {
    for (int i = 0; i < a->nv; i++) cvector_free(a->vectors[i]);
    for (int i = 0; i < a->nm; i++) cmatrix_free(a->matrices[i]);
    a->nv = a->nm = 0;
}

static CVector *vector_from(Arena *a, VALUE ary) {
    Check_Type(ary, T_ARRAY);
    long n = RARRAY_LEN(ary);
    CVector *v = arena_vector(a, cvector_alloc((uint64_t)n));
    for (long i = 0; i < n; i++) v->data[i] = NUM2DBL(rb_ary_entry(ary, i));
    return v;
}

static VALUE vector_to_ary(const CVector *v) {
    VALUE out = rb_ary_new_capa((long)v->size);
    for (uint64_t i = 0; i < v->size; i++) rb_ary_push(out, DBL2NUM(v->data[i]));
    return out;
}

static CMatrix *matrix_from(Arena *a, VALUE rows, long cols) {
    Check_Type(rows, T_ARRAY);
    long r = RARRAY_LEN(rows);
    CMatrix *m = arena_matrix(a, cmatrix_alloc((uint64_t)r, (uint64_t)cols));
    for (long i = 0; i < r; i++) {
        VALUE row = rb_ary_entry(rows, i);
        Check_Type(row, T_ARRAY);
        for (long j = 0; j < cols; j++) m->data[i * cols + j] = NUM2DBL(rb_ary_entry(row, j));
    }
    return m;
}

static VALUE matrix_to_ary(const CMatrix *m) {
    VALUE out = rb_ary_new_capa((long)m->rows);
    for (uint64_t i = 0; i < m->rows; i++) {
        VALUE row = rb_ary_new_capa((long)m->cols);
        for (uint64_t j = 0; j < m->cols; j++) rb_ary_push(row, DBL2NUM(m->data[i * m->cols + j]));
        rb_ary_push(out, row);
    }
    return out;
}

/* Runs body(arena, args) under rb_protect; frees the arena either way. */
typedef VALUE (*Body)(Arena *, VALUE);
typedef struct {
    Arena *arena;
    Body body;
    VALUE args;
} Call;

static VALUE call_body(VALUE p) {
    Call *c = (Call *)p;
    return c->body(c->arena, c->args);
}

static VALUE with_arena(Body body, VALUE args) {
    Arena arena = {{0}, {0}, 0, 0};
    Call call = {&arena, body, args};
    int state = 0;
    VALUE result = rb_protect(call_body, (VALUE)&call, &state);
    arena_free(&arena);
    if (state) rb_jump_tag(state);
    return result;
}

/* [dot(a, b), a - b, normalize(a), |a|, sum(a)] */
static VALUE vector_ops_body(Arena *a, VALUE args) {
    CVector *x = vector_from(a, rb_ary_entry(args, 0));
    CVector *y = vector_from(a, rb_ary_entry(args, 1));
    double dot = cvector_dot(x, y);
    CVector *diff = arena_vector(a, cvector_subtract(x, y));
    CVector *unit = arena_vector(a, cvector_normalize(x));
    return rb_ary_new_from_args(5, DBL2NUM(dot), vector_to_ary(diff), vector_to_ary(unit),
                                DBL2NUM(cvector_magnitude(x)), DBL2NUM(cvector_sum(x)));
}

static VALUE consumer_vector_ops(VALUE self, VALUE a, VALUE b) {
    return with_arena(vector_ops_body, rb_ary_new_from_args(2, a, b));
}

/* Zero-extent records and NULL are all accepted by the free functions. */
static VALUE consumer_zero_extents(VALUE self) {
    CVector *v = cvector_alloc(0);
    CMatrix *m[4] = {cmatrix_alloc(0, 5), cmatrix_alloc(5, 0), cmatrix_alloc(0, 0), cmatrix_alloc(2, 3)};
    VALUE shapes = rb_ary_new_from_args(1, ULL2NUM(v->size));
    for (int i = 0; i < 4; i++) rb_ary_push(shapes, rb_ary_new_from_args(2, ULL2NUM(m[i]->rows), ULL2NUM(m[i]->cols)));
    int zeroed = 1;
    for (int i = 0; i < 6; i++) zeroed &= m[3]->data[i] == 0.0;
    rb_ary_push(shapes, zeroed ? Qtrue : Qfalse);
    rb_ary_push(shapes, v->is_col ? Qtrue : Qfalse);
    cvector_free(v);
    for (int i = 0; i < 4; i++) cmatrix_free(m[i]);
    cvector_free(NULL);
    cmatrix_free(NULL);
    return shapes;
}

/* A Vector object made natively from an Array: a record wrapped with the
 * exported class and descriptor. */
static VALUE consumer_make_vector(VALUE self, VALUE ary, VALUE column) {
    Check_Type(ary, T_ARRAY);
    long n = RARRAY_LEN(ary);
    for (long i = 0; i < n; i++) NUM2DBL(rb_ary_entry(ary, i)); /* raise before allocating */
    VALUE obj = rb_data_typed_object_wrap(cZanthicVector, NULL, &cvector_type);
    CVector *v = cvector_alloc((uint64_t)n);
    DATA_PTR(obj) = v;
    for (long i = 0; i < n; i++) v->data[i] = NUM2DBL(rb_ary_entry(ary, i));
    v->is_col = RTEST(column) ? 1 : 0;
    return obj;
}

/* [elements, is_col] of a Vector object, read through the descriptor. */
static VALUE consumer_read_vector(VALUE self, VALUE obj) {
    const CVector *v = rb_check_typeddata(obj, &cvector_type);
    return rb_ary_new_from_args(2, vector_to_ary(v), INT2NUM(v->is_col));
}

/* The module and classes published by the library. */
static VALUE consumer_globals(VALUE self) {
    return rb_ary_new_from_args(3, mZanthicLinalg, cZanthicVector, cZanthicMatrix);
}

static VALUE matrix_roundtrip_body(Arena *a, VALUE args) {
    VALUE rows = rb_ary_entry(args, 0);
    CMatrix *m = matrix_from(a, rows, NUM2LONG(rb_ary_entry(args, 1)));
    return matrix_to_ary(m);
}

/* Copies rows into a cmatrix_alloc'd record and back. */
static VALUE consumer_matrix_roundtrip(VALUE self, VALUE rows, VALUE cols) {
    return with_arena(matrix_roundtrip_body, rb_ary_new_from_args(2, rows, cols));
}

/* ---- Matrix kernels ------------------------------------------------------
 * Each entry builds its records from Arrays (a matrix is given as its rows
 * and its column count, so that 0 x c shapes can be expressed), calls one
 * exported kernel and returns the result as Arrays; the arena releases every
 * record through cmatrix_free / cvector_free, also when a kernel raises. */

static VALUE matrix_kernel_body(Arena *a, VALUE args) {
    ID op = SYM2ID(rb_ary_entry(args, 0));
    if (op == rb_intern("multiply")) {
        CMatrix *x = matrix_from(a, rb_ary_entry(args, 1), NUM2LONG(rb_ary_entry(args, 2)));
        CMatrix *y = matrix_from(a, rb_ary_entry(args, 3), NUM2LONG(rb_ary_entry(args, 4)));
        return matrix_to_ary(arena_matrix(a, cmatrix_multiply(x, y)));
    }
    if (op == rb_intern("multiply_vector")) {
        CMatrix *x = matrix_from(a, rb_ary_entry(args, 1), NUM2LONG(rb_ary_entry(args, 2)));
        CVector *v = vector_from(a, rb_ary_entry(args, 3));
        v->is_col = 1; /* orientation must play no part */
        CVector *r = arena_vector(a, cmatrix_multiply_vector(x, v));
        return rb_ary_new_from_args(2, vector_to_ary(r), INT2NUM(r->is_col));
    }
    if (op == rb_intern("transpose")) {
        CMatrix *x = matrix_from(a, rb_ary_entry(args, 1), NUM2LONG(rb_ary_entry(args, 2)));
        CMatrix *t = arena_matrix(a, cmatrix_transpose(x));
        return rb_ary_new_from_args(2, matrix_to_ary(t), rb_ary_new_from_args(2, ULL2NUM(t->rows), ULL2NUM(t->cols)));
    }
    if (op == rb_intern("extend_column")) {
        CMatrix *x = matrix_from(a, rb_ary_entry(args, 1), NUM2LONG(rb_ary_entry(args, 2)));
        CVector *v = vector_from(a, rb_ary_entry(args, 3));
        CMatrix *r = arena_matrix(a, cmatrix_extend_column(x, v));
        return rb_ary_new_from_args(2, matrix_to_ary(r), rb_ary_new_from_args(2, ULL2NUM(r->rows), ULL2NUM(r->cols)));
    }
    if (op == rb_intern("vstack")) {
        CMatrix *x = matrix_from(a, rb_ary_entry(args, 1), NUM2LONG(rb_ary_entry(args, 2)));
        CMatrix *y = matrix_from(a, rb_ary_entry(args, 3), NUM2LONG(rb_ary_entry(args, 4)));
        CMatrix *r = arena_matrix(a, cmatrix_vstack(x, y));
        return rb_ary_new_from_args(2, matrix_to_ary(r), rb_ary_new_from_args(2, ULL2NUM(r->rows), ULL2NUM(r->cols)));
    }
    if (op == rb_intern("diagonal")) {
        CVector *v = vector_from(a, rb_ary_entry(args, 1));
        return matrix_to_ary(arena_matrix(a, cmatrix_diagonal(v)));
    }
    if (op == rb_intern("alloc")) {
        CMatrix *m = arena_matrix(a, cmatrix_alloc(NUM2ULL(rb_ary_entry(args, 1)), NUM2ULL(rb_ary_entry(args, 2))));
        return rb_ary_new_from_args(2, ULL2NUM(m->rows), ULL2NUM(m->cols));
    }
    rb_raise(rb_eArgError, "unknown matrix kernel");
}

/* ZanthicConsumer.matrix_kernel(op, *operands): op is one of :multiply,
 * :multiply_vector, :transpose, :extend_column, :vstack, :diagonal, :alloc. */
static VALUE consumer_matrix_kernel(int argc, VALUE *argv, VALUE self) {
    return with_arena(matrix_kernel_body, rb_ary_new_from_values(argc, argv));
}

/* The element array of a Matrix object, read through the descriptor. */
static VALUE consumer_read_matrix(VALUE self, VALUE obj) {
    const CMatrix *m = rb_check_typeddata(obj, &cmatrix_type);
    return rb_ary_new_from_args(2, matrix_to_ary(m), rb_ary_new_from_args(2, ULL2NUM(m->rows), ULL2NUM(m->cols)));
}

/* ---- Vector kernels on Vector objects -------------------------------------
 * Records are borrowed from Vector objects through cvector_type, the way an
 * extension that receives Vectors from Ruby would read them; new records are
 * handed to an object made first, so a raising kernel strands nothing. */

static const CVector *borrow_vector(VALUE obj) { return rb_check_typeddata(obj, &cvector_type); }

/* An empty Vector object, to receive a record made by a kernel. */
static VALUE vector_shell(void) { return rb_data_typed_object_wrap(cZanthicVector, NULL, &cvector_type); }

/* [a * b, a - b, a.normalize] computed by the exported kernels, the two
 * vectors wrapped as base-class Vector objects. */
static VALUE consumer_vector_kernels(VALUE self, VALUE a, VALUE b) {
    const CVector *x = borrow_vector(a);
    const CVector *y = borrow_vector(b);
    double dot = cvector_dot(x, y);
    VALUE diff = vector_shell();
    DATA_PTR(diff) = cvector_subtract(x, y);
    VALUE unit = vector_shell();
    DATA_PTR(unit) = cvector_normalize(x);
    return rb_ary_new_from_args(3, DBL2NUM(dot), diff, unit);
}

typedef struct {
    const CVector *a, *b;
    double result;
} DotArgs;

static VALUE protected_dot(VALUE p) {
    DotArgs *d = (DotArgs *)p;
    d->result = cvector_dot(d->a, d->b);
    return Qnil;
}

/* The dot product of a private copy of x with y: the copy is a record of the
 * consumer's own (cvector_alloc), released with cvector_free whether or not
 * cvector_dot raises, and the exception then propagates unchanged. Kept out
 * of line so that only rb_jump_tag, never a raise inside a callee, leaves the
 * frame that holds the protect state. */
static __attribute__((noinline)) VALUE copy_dot_records(const CVector *x, const CVector *y) {
    CVector *copy = cvector_alloc(x->size);
    if (x->size) memcpy(copy->data, x->data, x->size * sizeof(double));
    DotArgs args = {copy, y, 0.0};
    int state = 0;
    rb_protect(protected_dot, (VALUE)&args, &state);
    cvector_free(copy);
    if (state) rb_jump_tag(state);
    return DBL2NUM(args.result);
}

static VALUE consumer_copy_dot(VALUE self, VALUE a, VALUE b) {
    const CVector *x = borrow_vector(a);
    return copy_dot_records(x, borrow_vector(b));
}

/* cvector_magnitude and cvector_sum of a Vector object. */
static VALUE consumer_magnitude(VALUE self, VALUE v) { return DBL2NUM(cvector_magnitude(borrow_vector(v))); }
static VALUE consumer_sum(VALUE self, VALUE v) { return DBL2NUM(cvector_sum(borrow_vector(v))); }

/* cvector_alloc of an arbitrary count, released at once: for the allocator's
 * own errors, which must leave nothing behind. */
static VALUE consumer_alloc_free(VALUE self, VALUE count) {
    CVector *v = cvector_alloc(NUM2ULL(count));
    VALUE size = ULL2NUM(v->size);
    cvector_free(v);
    return size;
}

/* ---- Decomposition ---- */

static VALUE svd_body(Arena *a, VALUE args) {
    CMatrix *m = matrix_from(a, rb_ary_entry(args, 0), NUM2LONG(rb_ary_entry(args, 1)));
    CMatrix *u = NULL, *v = NULL;
    CVector *s = NULL;
    jacobi_svd(m, &u, &v, &s);
    arena_matrix(a, u);
    arena_matrix(a, v);
    arena_vector(a, s);
    return rb_ary_new_from_args(3, matrix_to_ary(u), matrix_to_ary(v), vector_to_ary(s));
}

/* [U rows, V rows, S] of jacobi_svd on a rows x cols matrix; every record is
 * freed, also when the decomposition raises. */
static VALUE consumer_svd(VALUE self, VALUE rows, VALUE cols) {
    return with_arena(svd_body, rb_ary_new_from_args(2, rows, cols));
}

void Init_zanthic_consumer(void) {
    VALUE mod = rb_define_module("ZanthicConsumer");
    rb_define_module_function(mod, "vector_ops", consumer_vector_ops, 2);
    rb_define_module_function(mod, "zero_extents", consumer_zero_extents, 0);
    rb_define_module_function(mod, "make_vector", consumer_make_vector, 2);
    rb_define_module_function(mod, "read_vector", consumer_read_vector, 1);
    rb_define_module_function(mod, "globals", consumer_globals, 0);
    rb_define_module_function(mod, "matrix_roundtrip", consumer_matrix_roundtrip, 2);
    rb_define_module_function(mod, "matrix_kernel", consumer_matrix_kernel, -1);
    rb_define_module_function(mod, "read_matrix", consumer_read_matrix, 1);
    /* Vector kernels on Vector objects. */
    rb_define_module_function(mod, "vector_kernels", consumer_vector_kernels, 2);
    rb_define_module_function(mod, "copy_dot", consumer_copy_dot, 2);
    rb_define_module_function(mod, "magnitude", consumer_magnitude, 1);
    rb_define_module_function(mod, "sum", consumer_sum, 1);
    rb_define_module_function(mod, "alloc_free", consumer_alloc_free, 1);
    rb_define_module_function(mod, "svd", consumer_svd, 2);
}
