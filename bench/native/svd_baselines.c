/* Baselines for the svd benchmarks: the Jacobi decomposition written out
 * literally, with plain loops: the Gram matrix and both products as naive
 * triple loops, every rotation as three strided/contiguous scalar passes over
 * W and V as stored, the same angle rule, convergence test (the diagonal
 * change, and W diagonal to 1e-12 of its largest diagonal entry) and NaN
 * handling as the library. */
#include <math.h>
#include <string.h>
#include <time.h>

#include <zanthic_ext.h>

static double *zeros(uint64_t count) {
    double *p = ruby_xmalloc2(count ? count : 1, sizeof(double));
    memset(p, 0, (count ? count : 1) * sizeof(double));
    return p;
}

/* out (r x c) = a (r x n) * b (n x c) */
static void multiply(const double *a, const double *b, double *out, uint64_t r, uint64_t n, uint64_t c) {
    for (uint64_t i = 0; i < r; i++)
        for (uint64_t j = 0; j < c; j++) {
            double s = 0.0;
            for (uint64_t k = 0; k < n; k++) s += a[i * n + k] * b[k * c + j];
            out[i * c + j] = s;
        }
}

static int literal_svd(const CMatrix *m, CMatrix **u_out, CMatrix **v_out, CVector **s_out) {
    const uint64_t r = m->rows, c = m->cols;
    const int wide = r < c;
    double *at = zeros(r * c);
    for (uint64_t i = 0; i < r; i++)
        for (uint64_t j = 0; j < c; j++) at[j * r + i] = m->data[i * c + j];
    const uint64_t n = wide ? r : c;
    double *g = zeros(n * n);
    if (wide)
        multiply(m->data, at, g, r, c, r);
    else
        multiply(at, m->data, g, c, r, c);
    double *w = zeros(n * n), *p = zeros(n * n);
    memcpy(w, g, n * n * sizeof(double));
    CMatrix *v = cmatrix_alloc(n, n);
    double *vd = v->data;
    for (uint64_t i = 0; i < n; i++) vd[i * n + i] = 1.0;

    int sweeps = 0;
    for (;;) {
        sweeps++;
        for (uint64_t j = 0; j + 1 < n; j++)
            for (uint64_t k = j + 1; k < n; k++) {
                double a = w[j * n + j], b = w[k * n + k], t = 2.0 * w[j * n + k], theta;
                if (a - b != 0.0 && !isnan(a - b))
                    theta = 0.5 * atan(t / (a - b));
                else
                    theta = t >= 0.0 ? 0.7853981633974483 : -0.7853981633974483;
                double cs = cos(theta), sn = sin(theta);
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
                    double x = vd[l * n + j], y = vd[l * n + k];
                    vd[l * n + j] = cs * x + sn * y;
                    vd[l * n + k] = cs * y - sn * x;
                }
            }
        if (sweeps == 1) {
            memcpy(p, w, n * n * sizeof(double));
            continue;
        }
        double delta = 0.0;
        for (uint64_t j = 0; j < n; j++) {
            double d = fabs(w[j * n + j] - p[j * n + j]);
            if (d > 0.001) delta += d;
        }
        memcpy(p, w, n * n * sizeof(double));
        double largest = 0.0;
        for (uint64_t j = 0; j < n; j++)
            if (w[j * n + j] > largest) largest = w[j * n + j];
        int diagonal = 1;
        for (uint64_t i = 0; i < n && diagonal; i++)
            for (uint64_t j = 0; j < n; j++)
                if (i != j && fabs(w[i * n + j]) > 1e-12 * largest) {
                    diagonal = 0;
                    break;
                }
        if (sweeps == 20 || (delta <= 0.001 && diagonal)) break;
    }

    CVector *s = cvector_alloc(n);
    double *d = zeros(n * n);
    double largest = 0.0;
    for (uint64_t j = 0; j < n; j++) {
        double x = w[j * n + j];
        s->data[j] = x > 0.0 ? sqrt(x) : (isnan(x) ? x : 0.0);
        if (s->data[j] > largest) largest = s->data[j];
    }
    for (uint64_t j = 0; j < n; j++)
        d[j * n + j] = s->data[j] > 1e-10 && s->data[j] > 1e-7 * largest ? 1.0 / s->data[j] : 0.0;
    const double *e = wide ? at : m->data;
    const uint64_t er = wide ? c : r;
    double *ev = zeros(er * n);
    multiply(e, vd, ev, er, n, n);
    CMatrix *u = cmatrix_alloc(er, n);
    multiply(ev, d, u->data, er, n, n);
    ruby_xfree(at);
    ruby_xfree(g);
    ruby_xfree(w);
    ruby_xfree(p);
    ruby_xfree(d);
    ruby_xfree(ev);
    *u_out = u;
    *v_out = v;
    *s_out = s;
    return sweeps;
}

/* ZanthicBench.literal_svd(matrix) -> [sweeps, u, v, s] (Matrix, Matrix, Array) */
static VALUE bench_literal_svd(VALUE self, VALUE matrix) {
    const CMatrix *m = rb_check_typeddata(matrix, &cmatrix_type);
    CMatrix *u, *v;
    CVector *s;
    int sweeps = literal_svd(m, &u, &v, &s);
    VALUE uo = rb_data_typed_object_wrap(cZanthicMatrix, u, &cmatrix_type);
    VALUE vo = rb_data_typed_object_wrap(cZanthicMatrix, v, &cmatrix_type);
    VALUE so = rb_ary_new_capa((long)s->size);
    for (uint64_t i = 0; i < s->size; i++) rb_ary_push(so, DBL2NUM(s->data[i]));
    cvector_free(s);
    return rb_ary_new_from_args(4, INT2NUM(sweeps), uo, vo, so);
}


#ifdef HAVE_LAPACKE
#include <lapacke.h>

/* LAPACK's divide-and-conquer SVD (dgesdd, thin U and V^T) on a copy of the
 * matrix, through LAPACKE; returns [s as an Array, seconds of the call]. The
 * copy and the workspace query are outside the timing. */
static VALUE bench_lapack_svd(VALUE self, VALUE matrix) {
    const CMatrix *m = rb_check_typeddata(matrix, &cmatrix_type);
    const lapack_int r = (lapack_int)m->rows, c = (lapack_int)m->cols, n = r < c ? r : c;
    double *a = zeros(m->rows * m->cols), *s = zeros(n), *u = zeros((uint64_t)r * n), *vt = zeros((uint64_t)n * c);
    memcpy(a, m->data, m->rows * m->cols * sizeof(double));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const lapack_int info = LAPACKE_dgesdd(LAPACK_ROW_MAJOR, 'S', r, c, a, c, s, u, n, vt, c);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    VALUE values = rb_ary_new_capa(n);
    for (lapack_int i = 0; i < n; i++) rb_ary_push(values, DBL2NUM(s[i]));
    ruby_xfree(a);
    ruby_xfree(s);
    ruby_xfree(u);
    ruby_xfree(vt);
    if (info != 0) rb_raise(rb_eRuntimeError, "dgesdd failed: info %d", (int)info);
    return rb_assoc_new(values, DBL2NUM((t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) * 1e-9));
}
#endif

void init_svd_baselines(VALUE mod) {
    rb_define_module_function(mod, "literal_svd", bench_literal_svd, 1);
#ifdef HAVE_LAPACKE
    rb_define_module_function(mod, "lapack_svd", bench_lapack_svd, 1);
#endif
}
