/* Entry of the benchmark-only baseline extension, ZanthicBench. */
#include <ruby.h>

void init_vector_baselines(VALUE mod);
void init_matrix_baselines(VALUE mod);
void init_svd_baselines(VALUE mod);
void init_incremental_baselines(VALUE mod);

void Init_zanthic_bench(void) {
    VALUE mod = rb_define_module("ZanthicBench");
    init_vector_baselines(mod);
    init_matrix_baselines(mod);
    init_svd_baselines(mod);
    init_incremental_baselines(mod);
}
