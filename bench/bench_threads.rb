# frozen_string_literal: true

# Threads, from one run: how long another Ruby thread waits while a long call
# runs and how soon an interrupt stops one, and the split kernels (the
# products the library runs: 1000x1000, 300x300, the Gram matrix of a
# 2000x100 matrix, E * V in the decomposition and the incremental update's
# basis product; batch projection of 5000 vectors through a 5000x100 basis)
# at one and two threads against single-threaded OpenBLAS dgemm.
#
# Every contender runs in a child process of this one: the library reads its
# thread count (ZANTHIC_THREADS) when it loads, and OpenBLAS reads its
# environment when it loads. The OpenBLAS child runs with OPENBLAS_CORETYPE
# and OPENBLAS_L2_SIZE unset, so that it picks its kernels for this
# processor, and reports the core it chose (OPENBLAS_VERBOSE=2). Times are
# wall-clock medians.
#
#   rake bench BENCH=threads
require "etc"
require "rbconfig"
require "tempfile"
require_relative "responsiveness"

def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

def median(values)
  sorted = values.sort
  n = sorted.size
  n.odd? ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0
end

def median_time(reps)
  median(Array.new(reps) do
    GC.start # results of earlier repetitions are released outside the timing
    t = now
    yield
    now - t
  end)
end

PROJECT_REPS = 7

# [m, k, n, repetitions, label]
PRODUCTS = [
  [1000, 1000, 1000, 9, "1000x1000 product"],
  [300, 300, 300, 31, "300x300 product"],
  [100, 2000, 100, 31, "Gram 100x2000 * 2000x100"],
  [5000, 100, 100, 15, "E*V 5000x100 * 100x100"],
  [5000, 101, 100, 15, "update 5000x101 * 101x100"],
  [5000, 101, 101, 15, "update 5000x101 * 101x101"],
].freeze

# Median times of the products, multiplied by +multiply+.
def product_times(b, multiply)
  PRODUCTS.each_with_index.to_h do |(m, k, n, reps), i|
    x = b.random_matrix(m, k, 10 + i)
    y = b.random_matrix(k, n, 20 + i)
    [[:product, m, k, n], median_time(reps) { multiply.(x, y) }]
  end
end

def measure_library(responsiveness)
  require "zanthic_ext"
  require "zanthic_bench"
  b = ZanthicBench
  basis = b.random_matrix(5000, 100, 3)
  vectors = b.random_vectors(5000, 5000, 4)
  out = product_times(b, ->(x, y) { x * y })
  out[:project] = median_time(PROJECT_REPS) { basis.batch_project(vectors) }
  return out unless responsiveness

  big = b.random_matrix(2000, 2000, 5)
  tall = b.random_matrix(1500, 600, 6)
  out[:gap_product] = Responsiveness.ticker_gap { big * big }
  out[:gap_svd] = Responsiveness.ticker_gap { tall.svd }
  out[:interrupt_product] = median(Array.new(5) { Responsiveness.interrupt_latency { big * big } })
  out[:interrupt_svd] = median(Array.new(5) { Responsiveness.interrupt_latency { tall.svd } })
  out
end

def measure_openblas
  ENV["OPENBLAS_NUM_THREADS"] = "1"
  require "zanthic_ext"
  require "zanthic_bench"
  b = ZanthicBench
  return nil unless b.respond_to?(:blas_multiply)

  basis = b.random_matrix(5000, 100, 3)
  vectors = b.random_vectors(5000, 5000, 4)
  out = product_times(b, ->(x, y) { b.blas_multiply(x, y) })
  out[:project] = median_time(PROJECT_REPS) { b.blas_gemm_project(basis, vectors) }
  out
end

if ARGV[0] == "--child"
  result = ARGV[1] == "openblas" ? measure_openblas : measure_library(ARGV[1] == "responsiveness")
  File.binwrite(ARGV[2], Marshal.dump(result))
  exit
end

# Runs one contender; returns its figures and what it printed.
def run_child(role, env)
  Tempfile.create("bench_threads") do |file|
    root = File.expand_path("..", __dir__)
    load_path = ["-I", File.join(root, "lib"), "-I", File.join(root, "tmp/bench")]
    output = IO.popen(env, [RbConfig.ruby, *load_path, __FILE__, "--child", role, file.path],
                      err: %i[child out], &:read)
    abort "#{role} child failed:\n#{output}" unless $?.success?
    [Marshal.load(File.binread(file.path)), output]
  end
end

blas_env = { "OPENBLAS_CORETYPE" => nil, "OPENBLAS_L2_SIZE" => nil, "OPENBLAS_VERBOSE" => "2",
             "OPENBLAS_NUM_THREADS" => "1" }
blas, blas_output = run_child("openblas", blas_env)
# When OpenBLAS does not recognise the processor it falls back to old
# kernels (Prescott: SSE3); its AVX-512 kernels, forced, are shown beside.
forced = blas && blas_output !~ /Core:\s*SkylakeX/ ? run_child("openblas", blas_env.merge("OPENBLAS_CORETYPE" => "SkylakeX"))[0] : nil
one, = run_child("threads", "ZANTHIC_THREADS" => "1")
two, = run_child("responsiveness", "ZANTHIC_THREADS" => "2")
core = blas_output[/Core:\s*(\S+)/, 1] || "not reported"

require "zanthic_ext"
puts "zanthic_ext threads (kernel variant: #{Zanthic::Linalg::ISA}; CPUs this process may use: " \
     "#{Etc.respond_to?(:nprocessors) ? Etc.nprocessors : '?'}; OpenBLAS: " \
     "#{blas ? "single-threaded, core #{core}" : 'not installed'}); wall-clock medians"
puts format("%-44s %10s %10s %12s %9s %9s", "operation", "1 thr ms", "2 thr ms", "OpenBLAS ms", "1 thr", "2 thr")
KERNELS = PRODUCTS.map { |m, k, n, _, label| [[:product, m, k, n], label, 2.0 * m * k * n] } +
          [[:project, "batch projection 5000 x (5000x100)", 2.0 * 5000 * 5000 * 100]]
KERNELS.each do |key, label, flops|
  ratios = blas ? [blas[key] / one[key], blas[key] / two[key]].map { |r| format("%8.2fx", r) } : ["", ""]
  puts format("%-44s %10.2f %10.2f %12s %9s %9s", label, one[key] * 1e3, two[key] * 1e3,
              blas ? format("%.2f", blas[key] * 1e3) : "-", *ratios)
  puts format("%-44s %10.1f %10.1f %12s", "  GFLOP/s", flops / one[key] / 1e9, flops / two[key] / 1e9,
              blas ? format("%.1f", flops / blas[key] / 1e9) : "-")
end
puts "(1 thr / 2 thr: OpenBLAS dgemm time divided by the library's, above 1 = the library is faster)"
if forced
  puts "OpenBLAS with OPENBLAS_CORETYPE=SkylakeX (its AVX-512 kernels, forced), for comparison:"
  KERNELS.each do |key, label|
    puts format("%-44s %10s %10s %12.2f %8.2fx %8.2fx", label, "", "", forced[key] * 1e3, forced[key] / one[key],
                forced[key] / two[key])
  end
end
puts
puts "responsiveness at 2 threads: another Ruby thread asks to run every 1 ms during a long call"
[[:product, "2000x2000 product"], [:svd, "SVD 1500x600"]].each do |key, label|
  gap, taken = two[:"gap_#{key}"]
  puts format("  %-20s call %7.0f ms, worst wait %5.1f ms, Thread#raise honoured in %5.1f ms (median of 5)",
              label, taken * 1e3, gap * 1e3, two[:"interrupt_#{key}"] * 1e3)
end
