# frozen_string_literal: true

# Jacobi SVD at corpus scale: term-count matrices (5% non-zero, counts 1 to 3,
# seeded) of 2000 x 500 and 3000 x 1000, against LAPACK's dgesdd (thin U and
# V^T, through LAPACKE, OpenBLAS's LAPACK on one thread) in the same run.
# Medians of RUNS wall-clock runs each, the two interleaved; the largest relative difference of
# the sorted singular values shows that both computed the same thing.
#
#   rake bench BENCH=corpus          RUNS=5 for more runs
ENV["OPENBLAS_NUM_THREADS"] = "1" # read by OpenBLAS when it loads
require "zanthic_ext"
require "zanthic_bench"

Matrix = Zanthic::Linalg::Matrix
RUNS = Integer(ENV.fetch("RUNS", "3"))

def term_counts(rows, cols, seed)
  rng = Random.new(seed)
  Array.new(rows) { Array.new(cols) { rng.rand < 0.05 ? (1 + rng.rand(3)).to_f : 0.0 } }
end

def median(values) = values.sort[values.size / 2]

def wall
  t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  yield
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - t
end

unless ZanthicBench.respond_to?(:lapack_svd)
  puts "corpus SVD: LAPACKE not installed (Debian: liblapacke-dev libopenblas-dev); nothing to compare against"
  exit
end

core = ZanthicBench.respond_to?(:blas_core) ? ZanthicBench.blas_core : "unknown"
puts "Corpus-scale SVD (kernel variant #{Zanthic::Linalg::ISA}; LAPACK dgesdd from OpenBLAS, 1 thread, core #{core}); " \
     "medians of #{RUNS}"
puts format("%-10s %12s %12s %10s  %s", "shape", "library s", "dgesdd s", "ratio", "max rel. diff of sorted S")
[[2000, 500, 11], [3000, 1000, 12]].each do |rows, cols, seed|
  m = Matrix.alloc(*term_counts(rows, cols, seed))
  s = values = nil
  # Interleaved, so that both see the same load on a shared machine.
  times = Array.new(RUNS) do
    GC.start
    ours = wall { _, _, s = m.svd }
    values, theirs = ZanthicBench.lapack_svd(m)
    [ours, theirs]
  end
  ours = median(times.map(&:first))
  theirs = median(times.map(&:last))
  mine = s.to_a.sort
  reference = values.sort
  diff = mine.zip(reference).map { |a, b| (a - b).abs }.max / reference.last
  puts format("%-10s %12.3f %12.3f %9.2fx  %.1e", "#{rows}x#{cols}", ours, theirs, ours / theirs, diff)
end
