/* Baselines for the incremental-update and batch-projection benchmarks: the
 * literal procedures in plain C (compiled without vectorisation), OpenBLAS
 * where installed, and quick generators of large random inputs. */
#include <math.h>
#include <string.h>

#include <zanthic_ext.h>

#ifdef HAVE_OPENBLAS
#include <cblas.h>
#endif

/* Literal Jacobi on the Gram matrix, as the library documents the procedure,
 * with plain loops. */
static void naive_jacobi(const CMatrix *a, CMatrix **uo, CMatrix **vo, CVector **so) {
    uint64_t r = a->rows, c = a->cols;
    int wide = r < c;
    uint64_t n = wide ? r : c;
    double *g = (double *)ruby_xmalloc2(n * n + 1, sizeof(double));
    double *w = (double *)ruby_xmalloc2(n * n + 1, sizeof(double));
    double *pv = (double *)ruby_xmalloc2(n * n + 1, sizeof(double));
    CMatrix *v = cmatrix_alloc(n, n);
    for (uint64_t i = 0; i < n; i++)
        for (uint64_t j = 0; j < n; j++) {
            double s = 0.0;
            if (wide)
                for (uint64_t t = 0; t < c; t++) s += a->data[i * c + t] * a->data[j * c + t];
            else
                for (uint64_t t = 0; t < r; t++) s += a->data[t * c + i] * a->data[t * c + j];
            g[i * n + j] = s;
        }
    memcpy(w, g, n * n * sizeof(double));
    for (uint64_t i = 0; i < n; i++) v->data[i * n + i] = 1.0;
    for (int sweep = 1; sweep <= 20; sweep++) {
        for (uint64_t j = 0; j + 1 < n; j++)
            for (uint64_t k = j + 1; k < n; k++) {
                double aa = w[j * n + j], bb = w[k * n + k], t = 2.0 * w[j * n + k], th;
                if (fabs(aa - bb) >= 1e-10) th = 0.5 * atan(t / (aa - bb));
                else th = t >= 0 ? 0.7853981633974483 : -0.7853981633974483;
                double cs = cos(th), sn = sin(th);
                for (uint64_t l = 0; l < n; l++) {
                    double x = w[l * n + j], y = w[l * n + k];
                    w[l * n + j] = cs * x + sn * y;
                    w[l * n + k] = cs * y - sn * x;
                }
                for (uint64_t l = 0; l < n; l++) {
                    double x = w[j * n + l], y = w[k * n + l];
                    w[j * n + l] = cs * x + sn * y;
                    w[k * n + l] = cs * y - sn * x;
                }
                for (uint64_t l = 0; l < n; l++) {
                    double x = v->data[l * n + j], y = v->data[l * n + k];
                    v->data[l * n + j] = cs * x + sn * y;
                    v->data[l * n + k] = cs * y - sn * x;
                }
            }
        if (sweep == 1) {
            memcpy(pv, w, n * n * sizeof(double));
            continue;
        }
        double delta = 0.0;
        for (uint64_t j = 0; j < n; j++) {
            double d = fabs(w[j * n + j] - pv[j * n + j]);
            if (d > 0.001) delta += d;
        }
        memcpy(pv, w, n * n * sizeof(double));
        if (delta <= 0.001) break;
    }
    CVector *s = cvector_alloc(n);
    for (uint64_t j = 0; j < n; j++) s->data[j] = w[j * n + j] > 0 ? sqrt(w[j * n + j]) : 0.0;
    uint64_t ur = wide ? c : r;
    CMatrix *u = cmatrix_alloc(ur, n);
    for (uint64_t i = 0; i < ur; i++)
        for (uint64_t j = 0; j < n; j++) {
            double sum = 0.0;
            for (uint64_t t = 0; t < n; t++) sum += (wide ? a->data[t * c + i] : a->data[i * c + t]) * v->data[t * n + j];
            u->data[i * n + j] = s->data[j] > 1e-10 ? sum * (1.0 / s->data[j]) : 0.0;
        }
    ruby_xfree(g);
    ruby_xfree(w);
    ruby_xfree(pv);
    *uo = u;
    *vo = v;
    *so = s;
}

static CMatrix *get_m(VALUE obj) { return (CMatrix *)rb_check_typeddata(obj, &cmatrix_type); }
static CVector *get_v(VALUE obj) { return (CVector *)rb_check_typeddata(obj, &cvector_type); }
static VALUE wrap_m(CMatrix *m) { return rb_data_typed_object_wrap(cZanthicMatrix, m, &cmatrix_type); }
static VALUE wrap_v(CVector *v) { return rb_data_typed_object_wrap(cZanthicVector, v, &cvector_type); }

/* One update written out step by step: strided coefficients, projection,
 * residual, core, Jacobi, extended basis, triple-loop product, then the
 * largest max_rank values kept (as the library does), or copies. */
static void naive_update(const CMatrix *u, const CVector *s, const CVector *c, int max_rank, double eps,
                         CMatrix **bo, CVector **vo) {
    uint64_t m = u->rows, k = u->cols, n = s->size;
    CVector *p = cvector_alloc(k), *proj = cvector_alloc(m), *r = cvector_alloc(m);
    for (uint64_t i = 0; i < k; i++) {
        double sum = 0.0;
        for (uint64_t t = 0; t < m; t++) sum += u->data[t * k + i] * c->data[t];
        p->data[i] = sum;
    }
    for (uint64_t t = 0; t < m; t++) {
        double sum = 0.0;
        for (uint64_t i = 0; i < k; i++) sum += u->data[t * k + i] * p->data[i];
        proj->data[t] = sum;
    }
    double rho2 = 0.0;
    for (uint64_t t = 0; t < m; t++) {
        r->data[t] = c->data[t] - proj->data[t];
        rho2 += r->data[t] * r->data[t];
    }
    double rho = sqrt(rho2);
    if (!(rho > eps && rho > 0.0) || n != k) {
        CMatrix *b = cmatrix_alloc(m, k);
        memcpy(b->data, u->data, m * k * sizeof(double));
        CVector *v = cvector_alloc(n);
        memcpy(v->data, s->data, n * sizeof(double));
        *bo = b;
        *vo = v;
    } else {
        uint64_t d = n + 1;
        CMatrix *core = cmatrix_alloc(d, d);
        for (uint64_t i = 0; i < n; i++) {
            core->data[i * d + i] = s->data[i];
            core->data[i * d + n] = p->data[i];
        }
        core->data[n * d + n] = rho;
        CMatrix *uk, *vk;
        CVector *sig;
        naive_jacobi(core, &uk, &vk, &sig);
        CMatrix *e = cmatrix_alloc(m, k + 1);
        for (uint64_t t = 0; t < m; t++) {
            for (uint64_t i = 0; i < k; i++) e->data[t * (k + 1) + i] = u->data[t * k + i];
            e->data[t * (k + 1) + k] = r->data[t] / rho;
        }
        CMatrix *full = cmatrix_alloc(m, d);
        for (uint64_t t = 0; t < m; t++)
            for (uint64_t j = 0; j < d; j++) {
                double sum = 0.0;
                for (uint64_t i = 0; i < d; i++) sum += e->data[t * d + i] * uk->data[i * d + j];
                full->data[t * d + j] = sum;
            }
        uint64_t keep = (max_rank >= 0 && (uint64_t)max_rank < d) ? (uint64_t)max_rank : d;
        /* Mark the keep largest values, first positions winning ties. */
        char *kept = (char *)ruby_xmalloc(d);
        memset(kept, 0, d);
        for (uint64_t pick = 0; pick < keep; pick++) {
            uint64_t best = d;
            for (uint64_t j = 0; j < d; j++)
                if (!kept[j] && (best == d || sig->data[j] > sig->data[best])) best = j;
            kept[best] = 1;
        }
        CMatrix *b = cmatrix_alloc(m, keep);
        CVector *v = cvector_alloc(keep);
        for (uint64_t j = 0, o = 0; j < d; j++) {
            if (!kept[j]) continue;
            for (uint64_t t = 0; t < m; t++) b->data[t * keep + o] = full->data[t * d + j];
            v->data[o++] = sig->data[j];
        }
        ruby_xfree(kept);
        cmatrix_free(core);
        cmatrix_free(uk);
        cmatrix_free(vk);
        cvector_free(sig);
        cmatrix_free(e);
        cmatrix_free(full);
        *bo = b;
        *vo = v;
    }
    cvector_free(p);
    cvector_free(proj);
    cvector_free(r);
}

/* naive_update_stream(basis, values, columns, max_rank, epsilon) -> [basis, values] */
static VALUE naive_update_stream(VALUE self, VALUE basis, VALUE values, VALUE columns, VALUE max_rank, VALUE eps) {
    Check_Type(columns, T_ARRAY);
    int rank = NUM2INT(max_rank);
    double e = NUM2DBL(eps);
    CMatrix *u = get_m(basis), *own_u = NULL;
    CVector *s = get_v(values), *own_s = NULL;
    for (long i = 0; i < RARRAY_LEN(columns); i++) {
        CMatrix *nu;
        CVector *ns;
        naive_update(u, s, get_v(rb_ary_entry(columns, i)), rank, e, &nu, &ns);
        cmatrix_free(own_u);
        cvector_free(own_s);
        u = own_u = nu;
        s = own_s = ns;
    }
    if (!own_u) return rb_ary_new_from_args(2, basis, values);
    return rb_ary_new_from_args(2, wrap_m(own_u), wrap_v(own_s));
}

/* naive_batch_project(basis, vectors): one strided column walk per result. */
static VALUE naive_batch_project(VALUE self, VALUE basis, VALUE vectors) {
    const CMatrix *b = get_m(basis);
    uint64_t m = b->rows, k = b->cols;
    VALUE out = rb_ary_new_capa(RARRAY_LEN(vectors));
    for (long i = 0; i < RARRAY_LEN(vectors); i++) {
        const CVector *v = get_v(rb_ary_entry(vectors, i));
        CVector *r = cvector_alloc(k);
        for (uint64_t j = 0; j < k; j++) {
            double sum = 0.0;
            for (uint64_t t = 0; t < m; t++) sum += b->data[t * k + j] * v->data[t];
            r->data[j] = sum;
        }
        rb_ary_push(out, wrap_v(r));
    }
    return out;
}

#ifdef HAVE_OPENBLAS
/* OpenBLAS dgemv (transposed) once per vector: the same interface as the
 * library's, one vector at a time. */
static VALUE blas_gemv_project(VALUE self, VALUE basis, VALUE vectors) {
    const CMatrix *b = get_m(basis);
    VALUE out = rb_ary_new_capa(RARRAY_LEN(vectors));
    for (long i = 0; i < RARRAY_LEN(vectors); i++) {
        const CVector *v = get_v(rb_ary_entry(vectors, i));
        CVector *r = cvector_alloc(b->cols);
        cblas_dgemv(CblasRowMajor, CblasTrans, (int)b->rows, (int)b->cols, 1.0, b->data, (int)b->cols, v->data, 1,
                    0.0, r->data, 1);
        rb_ary_push(out, wrap_v(r));
    }
    return out;
}

/* OpenBLAS dgemm on the vectors packed into one matrix (packing included). */
static VALUE blas_gemm_project(VALUE self, VALUE basis, VALUE vectors) {
    const CMatrix *b = get_m(basis);
    long count = RARRAY_LEN(vectors);
    uint64_t m = b->rows, k = b->cols;
    double *packed = (double *)ruby_xmalloc2((size_t)count * m + 1, sizeof(double));
    double *res = (double *)ruby_xmalloc2((size_t)count * k + 1, sizeof(double));
    for (long i = 0; i < count; i++) memcpy(packed + i * m, get_v(rb_ary_entry(vectors, i))->data, m * sizeof(double));
    /* res (count x k) = packed (count x m) * basis (m x k) */
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, (int)count, (int)k, (int)m, 1.0, packed, (int)m, b->data,
                (int)k, 0.0, res, (int)k);
    VALUE out = rb_ary_new_capa(count);
    for (long i = 0; i < count; i++) {
        CVector *r = cvector_alloc(k);
        memcpy(r->data, res + i * k, k * sizeof(double));
        rb_ary_push(out, wrap_v(r));
    }
    ruby_xfree(packed);
    ruby_xfree(res);
    return out;
}
#endif

/* Uniform values in [-0.5, 0.5) from a 64-bit LCG: large inputs without
 * going through Ruby Arrays. */
static double next_uniform(uint64_t *state) {
    *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)(*state >> 11) * (1.0 / 9007199254740992.0) - 0.5;
}

/* random_vectors(count, size, seed) -> Array of Vectors */
static VALUE random_vectors(VALUE self, VALUE count, VALUE size, VALUE seed) {
    long n = NUM2LONG(count);
    uint64_t len = NUM2ULL(size), state = NUM2ULL(seed);
    VALUE out = rb_ary_new_capa(n);
    for (long i = 0; i < n; i++) {
        CVector *v = cvector_alloc(len);
        for (uint64_t j = 0; j < len; j++) v->data[j] = next_uniform(&state);
        rb_ary_push(out, wrap_v(v));
    }
    return out;
}

/* random_matrix(rows, cols, seed) -> Matrix */
static VALUE random_matrix(VALUE self, VALUE rows, VALUE cols, VALUE seed) {
    uint64_t r = NUM2ULL(rows), c = NUM2ULL(cols), state = NUM2ULL(seed);
    CMatrix *m = cmatrix_alloc(r, c);
    for (uint64_t i = 0; i < r * c; i++) m->data[i] = next_uniform(&state);
    return wrap_m(m);
}

void init_incremental_baselines(VALUE mod) {
#ifdef HAVE_OPENBLAS
    openblas_set_num_threads(1);
    rb_define_module_function(mod, "blas_gemv_project", blas_gemv_project, 2);
    rb_define_module_function(mod, "blas_gemm_project", blas_gemm_project, 2);
#endif
    rb_define_module_function(mod, "naive_update_stream", naive_update_stream, 5);
    rb_define_module_function(mod, "naive_batch_project", naive_batch_project, 2);
    rb_define_module_function(mod, "random_vectors", random_vectors, 3);
    rb_define_module_function(mod, "random_matrix", random_matrix, 3);
}
