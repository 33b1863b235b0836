# frozen_string_literal: true

# Baselines for the benchmarks only: plain scalar loops compiled without
# vectorisation, the literal textbook procedures, and OpenBLAS where the
# machine has it (Debian libopenblas-dev). Never part of the library.
require "mkmf"

$CFLAGS << " -std=c11 -O2 -fno-tree-vectorize -ffp-contract=off -Wall -Wextra -Wno-unused-parameter"
$INCFLAGS << " -I" << File.expand_path("../../ext/zanthic_ext/include", __dir__)
if have_header("cblas.h") && have_library("openblas", "cblas_dgemm")
  $defs << "-DHAVE_OPENBLAS"
  # Single-threaded, so that the comparison is core against core.
  $defs << "-DOPENBLAS_SINGLE_THREAD"
end
have_library("m", "sqrt")
create_makefile("zanthic_bench")
