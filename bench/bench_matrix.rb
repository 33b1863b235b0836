# frozen_string_literal: true

# Matrix products, matrix-vector products and transposes: the library against
# the textbook loops over the same Matrix objects (bench/native/
# matrix_baselines.c, compiled -O2 without vectorisation), single-threaded
# OpenBLAS where installed, and Ruby's standard Matrix (products up to
# 300x300 only, one repetition: it is slow). Every contender allocates a
# zero-filled result record like the library does. All figures come from
# this one run: medians of several repetitions, with GFLOP/s (GB/s for the
# transpose) and the time of each contender relative to the library.
#
#   rake bench BENCH=matrix
ENV["OPENBLAS_NUM_THREADS"] = "1" # read by OpenBLAS when it loads
require "zanthic_ext"
require "zanthic_bench"
require "matrix"
require "etc"

M = Zanthic::Linalg::Matrix
B = ZanthicBench

# Median of reps timed repetitions.
def median_time(reps)
  times = Array.new(reps) do
    GC.start # results of earlier repetitions are released outside the timing
    t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    yield
    Process.clock_gettime(Process::CLOCK_MONOTONIC) - t
  end
  times.sort[reps / 2]
end

def random_rows(rng, rows, cols) = Array.new(rows) { Array.new(cols) { rng.rand(-1.0..1.0) } }

def max_difference(x, y) = x.flatten.zip(y.flatten).map { |a, b| (a - b).abs }.max || 0.0

def agree!(label, name, value, reference, scale)
  diff = max_difference(value, reference)
  abort "#{label} #{name}: differs from the library by #{diff}" if diff > 1e-12 * scale
end

threads = ENV["ZANTHIC_THREADS"].to_i.positive? ? ENV["ZANTHIC_THREADS"].to_i : Etc.nprocessors
blas = B.respond_to?(:blas_multiply) ? "single-threaded, core #{B.blas_core}" : "not installed"
puts "zanthic_ext matrix kernels (kernel variant: #{Zanthic::Linalg::ISA}; library threads: #{threads}; " \
     "OpenBLAS #{blas}; bench_threads compares one and two threads)"
HEADER = format("%-30s %-30s %10s %9s %12s", "operation", "implementation", "time ms", "GFLOP/s", "vs library")
puts HEADER

def report(label, name, time, work, lib_time, unit = "GFLOP/s")
  rate = work / time / 1e9
  puts format("%-30s %-30s %10.3f %9.2f %11.2fx%s", label, name, time * 1e3, rate, time / lib_time,
              unit == "GFLOP/s" ? "" : " (#{unit})")
end

rng = Random.new(2024)

# [m, k, n, library/OpenBLAS repetitions, plain-loop repetitions]
PRODUCTS = [
  [300, 300, 300, 30, 3],
  [1000, 1000, 1000, 5, 1],
  [100, 2000, 100, 30, 3],   # Gram matrix A^T A of a 2000 x 100 matrix
  [5000, 100, 100, 10, 1],   # E * V in the decomposition
  [5000, 101, 100, 10, 1],   # the incremental update's basis product
  [5000, 101, 101, 10, 1],
].freeze

PRODUCTS.each do |m, k, n, reps, naive_reps|
  a_rows = random_rows(rng, m, k)
  b_rows = random_rows(rng, k, n)
  a = M.alloc(a_rows)
  b = M.alloc(b_rows)
  label = "#{m}x#{k} * #{k}x#{n}"
  flops = 2.0 * m * n * k
  reference = (a * b).to_a
  lib_time = median_time(reps) { a * b }
  report(label, "library (Matrix#*)", lib_time, flops, lib_time)
  agree!(label, "plain loop", B.naive_multiply(a, b).to_a, reference, k)
  report(label, "plain triple loop (-O2)", median_time(naive_reps) { B.naive_multiply(a, b) }, flops, lib_time)
  if B.respond_to?(:blas_multiply)
    agree!(label, "OpenBLAS", B.blas_multiply(a, b).to_a, reference, k)
    report(label, "OpenBLAS cblas_dgemm (1 thr)", median_time(reps) { B.blas_multiply(a, b) }, flops, lib_time)
  end
  if m * n * k <= 300**3
    ra = ::Matrix.rows(a_rows)
    rb = ::Matrix.rows(b_rows)
    product = nil
    t = median_time(1) { product = ra * rb }
    agree!(label, "Ruby Matrix", product.to_a, reference, k)
    report(label, "Ruby standard Matrix", t, flops, lib_time)
  end
end

# Matrix-vector product: one pass over the matrix (5000x100 and 1000x1000
# stay in the last-level cache between repetitions).
[[5000, 100, 50], [1000, 1000, 50], [2000, 2000, 20], [20_000, 50, 20]].each do |m, n, reps|
  a = M.alloc(random_rows(rng, m, n))
  v = M.alloc(random_rows(rng, 1, n)).row(0)
  label = "#{m}x#{n} * vector"
  flops = 2.0 * m * n
  agree!(label, "plain loop", B.naive_multiply_vector(a, v).to_a, (a * v).to_a, n)
  lib_time = median_time(reps) { a * v }
  report(label, "library (Matrix#*)", lib_time, flops, lib_time)
  report(label, "plain loop (-O2)", median_time(reps) { B.naive_multiply_vector(a, v) }, flops, lib_time)
  if B.respond_to?(:blas_multiply_vector)
    report(label, "OpenBLAS cblas_dgemv (1 thr)", median_time(reps) { B.blas_multiply_vector(a, v) }, flops, lib_time)
  end
end

# Transpose: bytes read and written. For large results the time is mostly
# the first touch of the fresh zero-filled result pages, the same for every
# contender.
[[2000, 100, 50], [1000, 1000, 20], [3000, 2000, 5], [100_000, 8, 10]].each do |m, n, reps|
  a = M.alloc(random_rows(rng, m, n))
  label = "transpose #{m}x#{n}"
  bytes = 16.0 * m * n
  expected = a.trans.to_a
  agree!(label, "plain loop", B.naive_transpose(a).to_a, expected, 1)
  lib_time = median_time(reps) { a.trans }
  report(label, "library (Matrix#trans)", lib_time, bytes, lib_time, "GB/s")
  report(label, "plain loop (-O2)", median_time(reps) { B.naive_transpose(a) }, bytes, lib_time, "GB/s")
  if B.respond_to?(:blas_transpose)
    report(label, "OpenBLAS cblas_domatcopy", median_time(reps) { B.blas_transpose(a) }, bytes, lib_time, "GB/s")
  end
end
