/*
 * zanthic_ext: dense vectors and matrices of doubles for Ruby, and the native
 * interface that other extensions loaded into the same interpreter may use.
 *
 * Records
 *   CVector and CMatrix are plain records outside the Ruby heap. Each owns one
 *   zero-initialised array of doubles; a matrix is stored row-major, element
 *   (i, j) at data[i * cols + j]. Zero extents are valid; an empty record's
 *   array is never read.
 *
 * Ownership
 *   Every function that returns a record (or fills an out-parameter with one)
 *   hands ownership to the caller, who either wraps it in a Ruby object with
 *   the matching descriptor or releases it with cvector_free / cmatrix_free.
 *   Arguments are borrowed: they are only read, never kept and never freed.
 *
 * Errors
 *   Functions report failures as Ruby exceptions (ArgumentError for mismatched
 *   dimensions, the interpreter's errors from its allocator). They must run on
 *   an interpreter thread holding the GVL, in code that a Ruby exception may
 *   unwind; a function that raises has released whatever it allocated.
 *   The longer kernels (products, transpose, jacobi_svd, cbatch_project)
 *   release the GVL internally while they compute, so an interrupt
 *   (Interrupt, Thread#raise, Timeout) may raise from them.
 *
 * Objects
 *   A Zanthic::Linalg::Vector wraps a CVector through cvector_type, a Matrix
 *   wraps a CMatrix through cmatrix_type:
 *
 *     CVector *v = (CVector *)rb_check_typeddata(obj, &cvector_type);
 *     VALUE obj = rb_data_typed_object_wrap(cZanthicVector, v, &cvector_type);
 */
#ifndef ZANTHIC_EXT_H
#define ZANTHIC_EXT_H

/*
 * Version of this binary interface: raised whenever a record's layout, a
 * descriptor or a function's signature or contract changes incompatibly.
 * The loaded library reports its own as Zanthic::Linalg::ABI_VERSION, so a
 * dependent extension can refuse to run against a library it was not built
 * for (compare the two in its Init function).
 */
#define ZANTHIC_EXT_ABI_VERSION 1

#include <stdint.h>

#include <ruby.h>

#if defined(__GNUC__)
#define ZANTHIC_API __attribute__((visibility("default")))
#else
#define ZANTHIC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CVector {
    uint64_t size;  /* number of elements */
    double *data;   /* size doubles, owned */
    int32_t is_col; /* orientation: 0 row vector, 1 column vector */
} CVector;

typedef struct CMatrix {
    uint64_t rows;
    uint64_t cols;
    double *data; /* rows * cols doubles, row-major, owned */
} CMatrix;

/* Typed-data descriptors of Vector and Matrix objects. */
ZANTHIC_API extern const rb_data_type_t cvector_type;
ZANTHIC_API extern const rb_data_type_t cmatrix_type;

/* Zanthic::Linalg and its two classes; set once when the library loads. */
ZANTHIC_API extern VALUE mZanthicLinalg;
ZANTHIC_API extern VALUE cZanthicVector;
ZANTHIC_API extern VALUE cZanthicMatrix;

/* Entry and registration functions, called by the interpreter on require. */
ZANTHIC_API void Init_zanthic_ext(void);
ZANTHIC_API void Init_vector(void);
ZANTHIC_API void Init_matrix(void);
ZANTHIC_API void Init_svd(void);
ZANTHIC_API void Init_incremental_svd(void);

/* Records. The alloc functions return zero-filled records (is_col 0); the
 * free functions accept NULL. cmatrix_alloc raises ArgumentError when an
 * extent exceeds 2^63 - 1 or rows * cols does not fit in 64 bits. */
ZANTHIC_API CVector *cvector_alloc(uint64_t size);
ZANTHIC_API void cvector_free(void *vector);
ZANTHIC_API CMatrix *cmatrix_alloc(uint64_t rows, uint64_t cols);
ZANTHIC_API void cmatrix_free(void *matrix);

/* Vector kernels. */
ZANTHIC_API double cvector_magnitude(const CVector *x);
ZANTHIC_API CVector *cvector_normalize(const CVector *x);
ZANTHIC_API double cvector_sum(const CVector *x);
ZANTHIC_API double cvector_dot(const CVector *a, const CVector *b);
ZANTHIC_API CVector *cvector_subtract(const CVector *a, const CVector *b);

/* Matrix kernels. */
ZANTHIC_API CMatrix *cmatrix_diagonal(const CVector *diagonal);
ZANTHIC_API CMatrix *cmatrix_transpose(const CMatrix *m);
ZANTHIC_API CMatrix *cmatrix_multiply(const CMatrix *a, const CMatrix *b);
ZANTHIC_API CVector *cmatrix_multiply_vector(const CMatrix *m, const CVector *v);
ZANTHIC_API CMatrix *cmatrix_extend_column(const CMatrix *m, const CVector *v);
ZANTHIC_API CMatrix *cmatrix_vstack(const CMatrix *a, const CMatrix *b);

/* Decompositions. jacobi_svd stores three new records through its
 * out-parameters: for A r x c with n = min(r, c), U (max(r, c) x n),
 * V (n x n) and the unsorted singular values S (n). cbatch_project fills
 * results[i] with basis^T * vectors[i] for i < count. */
ZANTHIC_API void jacobi_svd(const CMatrix *a, CMatrix **u, CMatrix **v, CVector **s);
ZANTHIC_API void cbatch_project(const CMatrix *basis, CVector *const *vectors, uint64_t count,
                                CVector **results);

#ifdef __cplusplus
}
#endif

#endif /* ZANTHIC_EXT_H */
