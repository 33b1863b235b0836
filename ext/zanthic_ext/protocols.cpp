// The Ruby protocols both classes answer beyond their arithmetic: inspect,
// and YAML (Psych) dumping and loading through encode_with / init_with.
#include <cstring>

#include "objects.h"
#include "protocols.h"
#include "zanthic_ext.h"

using namespace zanthic;

namespace {

// inspect stays cheap for huge objects: it shows at most this many elements
// of a vector or of a matrix row, and at most this many matrix rows.
constexpr uint64_t kInspectElements = 8;
constexpr uint64_t kInspectRows = 4;

// Set once while the library loads, read-only afterwards.
ID id_aref, id_aset;

// ---- inspect ------------------------------------------------------------------

// "#<Class ", with the class's name as Ruby spells it (a subclass's own name,
// or the #<Class:...> form of an anonymous one).
VALUE inspect_head(VALUE self) {
    VALUE str = rb_usascii_str_new_cstr("#<");
    rb_str_append(str, rb_class_name(rb_obj_class(self)));
    rb_str_cat_cstr(str, " ");
    return str;
}

// The element as Float#inspect shows it.
void append_element(VALUE str, double x) { rb_str_append(str, rb_inspect(DBL2NUM(x))); }

/*
 * call-seq:
 *   vector.inspect -> string
 *
 * The class, the orientation and the leading elements; beyond eight
 * elements the rest are elided and the size is given.
 *
 *   Vector.alloc([1, 2, 3]).col.inspect
 *   # => "#<Zanthic::Linalg::Vector column [1.0, 2.0, 3.0]>"
 *   Vector.alloc(10).inspect
 *   # => "#<Zanthic::Linalg::Vector row [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, ... (10 elements)]>"
 */
VALUE vector_inspect(VALUE self) {
    VALUE str = inspect_head(self);
    const CVector *v = static_cast<const CVector *>(rb_check_typeddata(self, &cvector_type));
    if (!v) return rb_str_cat_cstr(str, "uninitialized>");
    rb_str_cat_cstr(str, v->is_col ? "column [" : "row [");
    const uint64_t size = v->size;
    const uint64_t shown = size < kInspectElements ? size : kInspectElements;
    for (uint64_t i = 0; i < shown; i++) {
        if (i) rb_str_cat_cstr(str, ", ");
        // Float#inspect is Ruby code: read the record afresh each time.
        append_element(str, get_vector(self)->data[i]);
    }
    if (shown < size) rb_str_catf(str, ", ... (%llu elements)", static_cast<unsigned long long>(size));
    return rb_str_cat_cstr(str, "]>");
}

/*
 * call-seq:
 *   matrix.inspect -> string
 *
 * The class, the shape (rows x columns) and the leading rows and columns;
 * at most four rows of at most eight elements are shown, the rest elided.
 *
 *   Matrix.alloc([1, 2], [3, 4]).inspect
 *   # => "#<Zanthic::Linalg::Matrix 2x2 [[1.0, 2.0], [3.0, 4.0]]>"
 *   Matrix.zeros(0, 3).inspect  # => "#<Zanthic::Linalg::Matrix 0x3 []>"
 */
VALUE matrix_inspect(VALUE self) {
    VALUE str = inspect_head(self);
    const CMatrix *m = static_cast<const CMatrix *>(rb_check_typeddata(self, &cmatrix_type));
    if (!m) return rb_str_cat_cstr(str, "uninitialized>");
    const uint64_t rows = m->rows, cols = m->cols;
    rb_str_catf(str, "%llux%llu [", static_cast<unsigned long long>(rows), static_cast<unsigned long long>(cols));
    const uint64_t shown_rows = rows < kInspectRows ? rows : kInspectRows;
    const uint64_t shown_cols = cols < kInspectElements ? cols : kInspectElements;
    for (uint64_t i = 0; i < shown_rows; i++) {
        rb_str_cat_cstr(str, i ? ", [" : "[");
        for (uint64_t j = 0; j < shown_cols; j++) {
            if (j) rb_str_cat_cstr(str, ", ");
            // Float#inspect is Ruby code: read the record afresh each time.
            append_element(str, get_matrix(self)->data[i * cols + j]);
        }
        rb_str_cat_cstr(str, shown_cols < cols ? ", ...]" : "]");
    }
    if (shown_rows < rows) rb_str_cat_cstr(str, ", ...");
    return rb_str_cat_cstr(str, "]>");
}

// ---- YAML -------------------------------------------------------------------------
//
// Psych dumps an object that answers encode_with as a map tagged with its
// class name, and loads it by allocating an instance of that class and
// handing the map to init_with. The maps are
//
//   Vector: orientation ("row" or "column"), elements (list of numbers)
//   Matrix: rows, columns (counts), elements (list of rows, each a list)
//
// Floats go through Psych's own formatting, which round-trips every double
// exactly, -0.0, NaN and the infinities included.

// A class without a name would be dumped with the bare !ruby/object tag and
// come back as a plain Object: refuse it, as Marshal does.
void check_named(VALUE self) {
    VALUE klass = rb_obj_class(self);
    if (NIL_P(rb_mod_name(klass))) rb_raise(rb_eTypeError, "can't dump anonymous class %" PRIsVALUE, klass);
}

VALUE coder_get(VALUE coder, const char *key) { return rb_funcall(coder, id_aref, 1, rb_usascii_str_new_cstr(key)); }

void coder_set(VALUE coder, const char *key, VALUE value) {
    rb_funcall(coder, id_aset, 2, rb_usascii_str_new_cstr(key), value);
}

// Extents never change once an object has elements, and methods rely on that
// while they run Ruby code, so init_with (like initialize_copy) fills only an
// object that is still empty, as Psych's freshly allocated ones are.
void raise_initialized(VALUE self) { rb_raise(rb_eTypeError, "already initialized %s", rb_obj_classname(self)); }

VALUE array_field(VALUE coder, const char *key, VALUE self) {
    VALUE v = coder_get(coder, key);
    if (!RB_TYPE_P(v, T_ARRAY))
        rb_raise(rb_eTypeError, "YAML %s of %s must be an Array, not %s", key, rb_obj_classname(self),
                 rb_obj_classname(v));
    return v;
}

long count_field(VALUE coder, const char *key, VALUE self) {
    VALUE v = coder_get(coder, key);
    if (!RB_INTEGER_TYPE_P(v))
        rb_raise(rb_eTypeError, "YAML %s of %s must be an Integer, not %s", key, rb_obj_classname(self),
                 rb_obj_classname(v));
    const long n = NUM2LONG(v);
    if (n < 0) rb_raise(rb_eArgError, "YAML %s of %s must not be negative: %ld", key, rb_obj_classname(self), n);
    return n;
}

/*
 * call-seq:
 *   vector.encode_with(coder) -> nil
 *
 * Writes the vector for YAML (Psych): its orientation and its elements.
 * Every element, -0.0, NaN and the infinities included, loads back exactly.
 *
 *   require "yaml"
 *   v = Vector.alloc([1, -0.0]).col
 *   w = YAML.unsafe_load(YAML.dump(v))
 *   w.inspect  # => "#<Zanthic::Linalg::Vector column [1.0, -0.0]>"
 *
 * Raises TypeError for an instance of an anonymous subclass.
 */
VALUE vector_encode_with(VALUE self, VALUE coder) {
    check_named(self);
    const CVector *v = get_vector(self);
    VALUE orientation = rb_usascii_str_new_cstr(v->is_col ? "column" : "row");
    VALUE elements = rb_ary_new_capa(static_cast<long>(v->size));
    for (uint64_t i = 0; i < v->size; i++) rb_ary_push(elements, DBL2NUM(v->data[i]));
    coder_set(coder, "orientation", orientation);
    coder_set(coder, "elements", elements);
    return Qnil;
}

/*
 * call-seq:
 *   vector.init_with(coder) -> vector
 *
 * Fills a freshly allocated, empty vector from the YAML map that
 * encode_with wrote; Psych calls it when it loads a Vector.
 *
 *   require "yaml"
 *   YAML.unsafe_load("--- !ruby/object:Zanthic::Linalg::Vector\norientation: row\nelements: [1, 2.5]\n").to_a
 *   # => [1.0, 2.5]
 *
 * Raises TypeError when the vector already has elements, when a field is
 * missing or of the wrong type and when an element is not a number;
 * ArgumentError for an orientation other than "row" or "column"; and
 * FrozenError on a frozen vector.
 */
VALUE vector_init_with(VALUE self, VALUE coder) {
    rb_check_frozen(self);
    if (get_vector(self)->size) raise_initialized(self);
    VALUE orientation = coder_get(coder, "orientation");
    int32_t is_col;
    if (RB_TYPE_P(orientation, T_STRING) && strcmp(StringValueCStr(orientation), "row") == 0) {
        is_col = 0;
    } else if (RB_TYPE_P(orientation, T_STRING) && strcmp(StringValueCStr(orientation), "column") == 0) {
        is_col = 1;
    } else {
        rb_raise(rb_eArgError, "YAML orientation of %s must be \"row\" or \"column\"", rb_obj_classname(self));
    }
    VALUE elements = array_field(coder, "elements", self);

    // The elements go into a vector of our own first: a conversion may raise
    // (the receiver stays empty) or run Ruby code. The length is read once;
    // an Array shortened meanwhile yields nil, which fails to convert.
    const long n = RARRAY_LEN(elements);
    CVector *staged;
    VALUE holder = new_vector(cZanthicVector, static_cast<uint64_t>(n), &staged);
    for (long i = 0; i < n; i++) {
        const double x = NUM2DBL(rb_ary_entry(elements, i));
        get_vector(holder)->data[i] = x;
    }

    // The conversions may have run Ruby code: look at the receiver afresh,
    // then trade arrays so that the record struct itself stays in place.
    rb_check_frozen(self);
    CVector *dst = get_vector(self);
    if (dst->size) raise_initialized(self);
    staged = get_vector(holder);
    double *const empty = dst->data;
    dst->data = staged->data;
    dst->size = staged->size;
    dst->is_col = is_col;
    staged->data = empty;
    staged->size = 0;
    RB_GC_GUARD(holder);
    RB_GC_GUARD(elements);
    return self;
}

/*
 * call-seq:
 *   matrix.encode_with(coder) -> nil
 *
 * Writes the matrix for YAML (Psych): its row and column counts and its
 * rows. Every shape, 0 x c and r x 0 included, and every element, -0.0,
 * NaN and the infinities included, loads back exactly.
 *
 *   require "yaml"
 *   m = YAML.unsafe_load(YAML.dump(Matrix.zeros(0, 3)))
 *   m.size  # => [0, 3]
 *
 * Raises TypeError for an instance of an anonymous subclass.
 */
VALUE matrix_encode_with(VALUE self, VALUE coder) {
    check_named(self);
    const CMatrix *m = get_matrix(self);
    VALUE rows = ULL2NUM(m->rows);
    VALUE cols = ULL2NUM(m->cols);
    VALUE elements = rb_ary_new_capa(static_cast<long>(m->rows));
    for (uint64_t i = 0; i < m->rows; i++) {
        VALUE row = rb_ary_new_capa(static_cast<long>(m->cols));
        for (uint64_t j = 0; j < m->cols; j++) rb_ary_push(row, DBL2NUM(m->data[i * m->cols + j]));
        rb_ary_push(elements, row);
    }
    coder_set(coder, "rows", rows);
    coder_set(coder, "columns", cols);
    coder_set(coder, "elements", elements);
    return Qnil;
}

/*
 * call-seq:
 *   matrix.init_with(coder) -> matrix
 *
 * Fills a freshly allocated 0 x 0 matrix from the YAML map that
 * encode_with wrote; Psych calls it when it loads a Matrix.
 *
 *   require "yaml"
 *   YAML.unsafe_load(YAML.dump(Matrix.alloc([1, 2], [3, 4]))).to_a  # => [[1.0, 2.0], [3.0, 4.0]]
 *
 * Raises TypeError when the matrix is not 0 x 0, when a field is missing or
 * of the wrong type and when an element is not a number; ArgumentError for
 * a negative count or when the rows do not match the counts; and
 * FrozenError on a frozen matrix.
 */
VALUE matrix_init_with(VALUE self, VALUE coder) {
    rb_check_frozen(self);
    const CMatrix *m = get_matrix(self);
    if (m->rows || m->cols) raise_initialized(self);
    const long rows = count_field(coder, "rows", self);
    const long cols = count_field(coder, "columns", self);
    VALUE elements = array_field(coder, "elements", self);

    // The shape is checked in full before anything is allocated; nothing in
    // this loop runs Ruby code.
    if (RARRAY_LEN(elements) != rows)
        rb_raise(rb_eArgError, "YAML elements of %s must hold %ld rows, not %ld", rb_obj_classname(self), rows,
                 RARRAY_LEN(elements));
    for (long i = 0; i < rows; i++) {
        VALUE row = RARRAY_AREF(elements, i);
        if (!RB_TYPE_P(row, T_ARRAY) || RARRAY_LEN(row) != cols)
            rb_raise(rb_eArgError, "YAML row %ld of %s must be an Array of %ld elements", i, rb_obj_classname(self),
                     cols);
    }

    // The elements go into a matrix of our own first, as for Vector. Rows are
    // fetched afresh, since a conversion may run Ruby code that changes the
    // Arrays; a vanished row or element is refused.
    CMatrix *staged;
    VALUE holder = new_matrix(cZanthicMatrix, static_cast<uint64_t>(rows), static_cast<uint64_t>(cols), &staged);
    for (long i = 0; i < rows; i++) {
        VALUE row = rb_ary_entry(elements, i);
        if (!RB_TYPE_P(row, T_ARRAY))
            rb_raise(rb_eArgError, "YAML row %ld of %s must be an Array of %ld elements", i, rb_obj_classname(self),
                     cols);
        for (long j = 0; j < cols; j++) {
            const double x = NUM2DBL(rb_ary_entry(row, j));
            get_matrix(holder)->data[i * cols + j] = x;
        }
    }

    rb_check_frozen(self);
    CMatrix *dst = get_matrix(self);
    if (dst->rows || dst->cols) raise_initialized(self);
    staged = get_matrix(holder);
    double *const empty = dst->data;
    dst->data = staged->data;
    dst->rows = staged->rows;
    dst->cols = staged->cols;
    staged->data = empty;
    staged->rows = staged->cols = 0;
    RB_GC_GUARD(holder);
    RB_GC_GUARD(elements);
    return self;
}

}  // namespace

void Init_protocols(void) {
#if 0  // rdoc reads each file on its own; this tells it where the classes come from
    mZanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(mZanthic, "Linalg");
    cZanthicVector = rb_define_class_under(mZanthicLinalg, "Vector", rb_cObject);
    cZanthicMatrix = rb_define_class_under(mZanthicLinalg, "Matrix", rb_cObject);
#endif
    id_aref = rb_intern("[]");
    id_aset = rb_intern("[]=");
    rb_define_method(cZanthicVector, "inspect", RUBY_METHOD_FUNC(vector_inspect), 0);
    rb_define_method(cZanthicVector, "encode_with", RUBY_METHOD_FUNC(vector_encode_with), 1);
    rb_define_method(cZanthicVector, "init_with", RUBY_METHOD_FUNC(vector_init_with), 1);
    rb_define_method(cZanthicMatrix, "inspect", RUBY_METHOD_FUNC(matrix_inspect), 0);
    rb_define_method(cZanthicMatrix, "encode_with", RUBY_METHOD_FUNC(matrix_encode_with), 1);
    rb_define_method(cZanthicMatrix, "init_with", RUBY_METHOD_FUNC(matrix_init_with), 1);
}
