# frozen_string_literal: true

# GFLOP/s against size for the matrix product (n x n by n x n, 2n^3 flops)
# and the singular value decomposition (term-count matrices 2n x n, 5% non-
# zero, counted as 4mn^2 + 8n^3 flops, the usual figure for a thin SVD with
# both factors), the library beside single-thread OpenBLAS dgemm and LAPACK
# dgesdd, medians of a few runs in this one run. Writes bench/performance.dat
# and, through gnuplot, bench/performance.png.
#
#   rake bench:plot
ENV["OPENBLAS_NUM_THREADS"] = "1"
require "zanthic_ext"
require "zanthic_bench"

M = Zanthic::Linalg::Matrix
B = ZanthicBench
DIR = __dir__
abort "bench:plot needs OpenBLAS and LAPACKE (Debian: libopenblas-dev liblapacke-dev)" unless B.respond_to?(:lapack_svd)

def wall
  GC.start
  t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  yield
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - t
end

def median(values) = values.sort[values.size / 2]

# Medians of ours and theirs over runs, interleaved so that both see the same
# load on a shared machine; theirs may return its own time.
def interleaved(runs, ours, theirs)
  times = Array.new(runs) { [wall(&ours), theirs.call] }
  [median(times.map(&:first)), median(times.map(&:last))]
end

dat = File.join(DIR, "performance.dat")
rng = Random.new(7)
rows = []
# PLOT_ONLY=1 redraws the PNG from the last measurement.
MEASURE = ENV["PLOT_ONLY"] != "1"
unless MEASURE
  rows = File.readlines(dat).grep_v(/\A#/).map(&:split)
  core = File.read(dat)[/core (\S+)\)/, 1]
end
(MEASURE ? [100, 200, 400, 600, 800, 1000, 1200] : []).each do |n|
  a = M.alloc(*Array.new(n) { Array.new(n) { rng.rand(-1.0..1.0) } })
  b = M.alloc(*Array.new(n) { Array.new(n) { rng.rand(-1.0..1.0) } })
  runs = n <= 400 ? 9 : 5
  flops = 2.0 * n**3
  ours, theirs = interleaved(runs, -> { a * b }, -> { wall { B.blas_multiply(a, b) } })
  rows << ["product", n, flops / ours / 1e9, flops / theirs / 1e9]
end
(MEASURE ? [100, 200, 300, 500, 700, 1000] : []).each do |n|
  m = 2 * n
  a = M.alloc(*Array.new(m) { Array.new(n) { rng.rand < 0.05 ? (1 + rng.rand(3)).to_f : 0.0 } })
  runs = n <= 300 ? 5 : 3
  flops = 4.0 * m * n * n + 8.0 * n**3
  ours, theirs = interleaved(runs, -> { a.svd }, -> { B.lapack_svd(a)[1] })
  rows << ["svd", n, flops / ours / 1e9, flops / theirs / 1e9]
end

unless core
  core = B.blas_core
  File.write(dat, "# kind n library_gflops baseline_gflops (kernel variant #{Zanthic::Linalg::ISA}; OpenBLAS core #{core})\n" +
                  rows.map { |r| format("%s %d %.3f %.3f\n", *r) }.join)
  rows.each { |r| puts format("%-8s %5d  library %7.2f GFLOP/s  baseline %7.2f GFLOP/s", *r) }
end

png = File.join(DIR, "performance.png")
script = <<~GNUPLOT
  set terminal pngcairo size 1000,460 font "sans,10" noenhanced
  set output "#{png}"
  set multiplot layout 1,2 title "zanthic_ext (#{Zanthic::Linalg::ISA} kernels, 1 thread) against OpenBLAS 0.3 / LAPACK (1 thread, core #{core})"
  set grid
  set key below
  set ylabel "GFLOP/s"
  set xlabel "n (n x n times n x n)"
  set title "Matrix product"
  plot "#{dat}" using 2:(strcol(1) eq "product" ? $3 : 1/0) with linespoints lw 2 title "Matrix#*", \\
       "" using 2:(strcol(1) eq "product" ? $4 : 1/0) with linespoints lw 2 title "OpenBLAS dgemm"
  set xlabel "n (2n x n term counts, 5% non-zero)"
  set title "Singular value decomposition (4mn\302\262 + 8n\302\263 flops)"
  plot "#{dat}" using 2:(strcol(1) eq "svd" ? $3 : 1/0) with linespoints lw 2 title "Matrix#svd (Jacobi)", \\
       "" using 2:(strcol(1) eq "svd" ? $4 : 1/0) with linespoints lw 2 title "LAPACK dgesdd"
  unset multiplot
GNUPLOT
IO.popen(["gnuplot"], "w") { |io| io.write(script) }
abort "gnuplot failed (Debian: apt-get install gnuplot-nox)" unless $?.success?
puts "wrote #{png}"
