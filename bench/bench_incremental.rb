# frozen_string_literal: true

# Incremental SVD update and batch projection, against plain baselines
# measured in the same run:
#
#   update stream      300 columns folded into a basis of m = 5000 rows,
#                      max_rank 100; the literal C procedure (strided
#                      coefficients, textbook Jacobi, triple-loop product)
#                      on a stretch of the same stream at full rank
#   batch projection   5000 vectors through a 5000 x 100 basis; a strided
#                      per-vector loop in C, OpenBLAS dgemv per vector and
#                      dgemm on packed vectors (single thread) where
#                      installed, GSL's Ruby binding and Ruby's Matrix on a
#                      sample of the vectors
#
# Run with `rake bench BENCH=incremental`.
require "matrix"
require "zanthic_ext"
require "zanthic_bench"

ZMatrix = Zanthic::Linalg::Matrix
ZVector = Zanthic::Linalg::Vector

ROWS = 5000
STREAM = 300
MAX_RANK = 100
EPSILON = 1e-10
VECTORS = 5000
BASIS_COLS = 100
# Full-rank updates timed for the literal baseline: each costs a 101 x 101
# textbook Jacobi and a 5000 x 101 x 101 triple loop.
NAIVE_UPDATES = 8
# Full-rank updates timed for the library, and runs of each timing.
TAIL_UPDATES = 40
STREAM_RUNS = 3
RUBY_SAMPLE = 10
GSL_SAMPLE = 500

def seconds
  start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  yield
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - start
end

# Median wall time of +runs+ runs, and the process CPU time of that run
# (CPU above wall: the second core took part).
def median_run(runs)
  times = Array.new(runs) do
    cpu = Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID)
    wall = seconds { yield }
    [wall, Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID) - cpu]
  end
  times.sort_by(&:first)[runs / 2]
end

def row(label, value, unit, ratio = nil)
  line = format("  %-44s %12.2f %s", label, value, unit)
  line += format("   x%.1f", ratio) if ratio
  puts line
end

# Term-document-like columns: a few dozen shared directions plus noise, so
# that residuals shrink as the basis grows but never vanish.
factors = ZanthicBench.random_vectors(40, ROWS, 1)
noise = ZanthicBench.random_vectors(STREAM, ROWS, 2)
weights = ZanthicBench.random_matrix(STREAM, 40, 3).to_a
columns = noise.each_with_index.map do |n, i|
  data = n.to_a.map { |x| 0.05 * x }
  weights[i].each_with_index { |w, f| factors[f].each_with_index { |x, r| data[r] += w * x } }
  ZVector.alloc(data)
end

puts "Incremental SVD update: #{STREAM} columns, m = #{ROWS}, max_rank #{MAX_RANK} (medians of #{STREAM_RUNS})"
basis = values = checkpoint = nil
gc_before = GC.stat
GC::Profiler.enable
stream_time, stream_cpu = median_run(STREAM_RUNS) do
  basis = ZMatrix.zeros(ROWS, 0)
  values = ZVector.alloc(0)
  columns.each_with_index do |c, i|
    basis, values = basis.incremental_svd_update(values, c, MAX_RANK, EPSILON)
    checkpoint = [basis, values] if i == STREAM - TAIL_UPDATES - 1
  end
end
gc_runs = GC.stat[:count] - gc_before[:count]
gc_time = GC::Profiler.total_time
GC::Profiler.disable
GC::Profiler.clear
row("zanthic_ext, whole stream", STREAM / stream_time, "updates/s")
puts format("  (CPU time %.2fx the wall time; Ruby's collector ran %.1f times a stream, %.1f ms, %.1f%% of it)",
            stream_cpu / stream_time, gc_runs.fdiv(STREAM_RUNS), gc_time / STREAM_RUNS * 1e3,
            100 * gc_time / STREAM_RUNS / stream_time)

# Full rank: every update decomposes a 101 x 101 core.
tail = columns.last(TAIL_UPDATES)
ours_tail, ours_cpu = median_run(STREAM_RUNS) do
  b, v = checkpoint
  tail.each { |c| b, v = b.incremental_svd_update(v, c, MAX_RANK, EPSILON) }
end
naive_result = nil
naive_tail, = median_run(3) do
  naive_result = ZanthicBench.naive_update_stream(*checkpoint, tail.first(NAIVE_UPDATES), MAX_RANK, EPSILON)
end
ours_per = ours_tail / TAIL_UPDATES
naive_per = naive_tail / NAIVE_UPDATES
row("zanthic_ext, last #{TAIL_UPDATES} updates at full rank", 1 / ours_per, "updates/s")
puts format("  (%.2f ms an update; CPU time %.2fx the wall time)", ours_per * 1e3, ours_cpu / ours_tail)
row("literal C procedure, first #{NAIVE_UPDATES} of them", 1 / naive_per, "updates/s")
puts format("  speed-up over the literal procedure: x%.1f", naive_per / ours_per)
ours_check = tail.first(NAIVE_UPDATES).reduce(checkpoint) do |(b, v), c|
  b.incremental_svd_update(v, c, MAX_RANK, EPSILON)
end
drift = ours_check[1].to_a.sort.zip(naive_result[1].to_a.sort).map { |a, b| (a - b).abs / [b.abs, 1e-300].max }.max
puts format("  largest relative difference of the values after those updates: %.1e", drift)
puts

puts "Batch projection: #{VECTORS} vectors through a #{ROWS}x#{BASIS_COLS} basis"
proj_basis = ZanthicBench.random_matrix(ROWS, BASIS_COLS, 4)
vectors = ZanthicBench.random_vectors(VECTORS, ROWS, 5)
flops = 2.0 * ROWS * BASIS_COLS * VECTORS
ours = nil
t_ours = seconds { ours = proj_basis.batch_project(vectors) }
row("zanthic_ext batch_project", VECTORS / t_ours, "vectors/s")
row("", flops / t_ours / 1e9, "GFLOP/s")
t_naive = seconds { ZanthicBench.naive_batch_project(proj_basis, vectors) }
row("strided per-vector loop (C)", VECTORS / t_naive, "vectors/s", t_naive / t_ours)
if ZanthicBench.respond_to?(:blas_gemv_project)
  t_gemv = seconds { ZanthicBench.blas_gemv_project(proj_basis, vectors) }
  row("OpenBLAS dgemv per vector", VECTORS / t_gemv, "vectors/s", t_gemv / t_ours)
  blas = nil
  t_gemm = seconds { blas = ZanthicBench.blas_gemm_project(proj_basis, vectors) }
  row("OpenBLAS dgemm, packing included", VECTORS / t_gemm, "vectors/s", t_gemm / t_ours)
  err = [0, VECTORS / 2, VECTORS - 1].map { |i| ours[i].to_a.zip(blas[i].to_a).map { |a, b| (a - b).abs }.max }.max
  puts format("  largest difference from OpenBLAS: %.1e", err)
end
begin
  require "gsl"
  gsl_basis_t = GSL::Matrix.alloc(proj_basis.to_a.flatten, ROWS, BASIS_COLS).transpose
  gsl_vectors = vectors.first(GSL_SAMPLE).map { |v| GSL::Vector.alloc(v.to_a).col }
  t_gsl = seconds { gsl_vectors.each { |v| gsl_basis_t * v } }
  t_gsl *= VECTORS.to_f / GSL_SAMPLE
  row("GSL Ruby binding, basis^T * v (#{GSL_SAMPLE} sampled)", VECTORS / t_gsl, "vectors/s", t_gsl / t_ours)
rescue LoadError
  puts "  (GSL's Ruby binding not installed)"
end
ruby_basis_t = ::Matrix.rows(proj_basis.to_a).transpose
ruby_vectors = vectors.first(RUBY_SAMPLE).map { |v| ::Vector.elements(v.to_a) }
t_ruby = seconds { ruby_vectors.each { |v| ruby_basis_t * v } } * VECTORS / RUBY_SAMPLE
row("Ruby's Matrix (#{RUBY_SAMPLE} sampled)", VECTORS / t_ruby, "vectors/s", t_ruby / t_ours)
