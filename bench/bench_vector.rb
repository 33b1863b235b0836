# frozen_string_literal: true

# Reductions on 10^6 and 10^7 elements: the library's kernels against a plain
# scalar C loop over the same Vector objects (bench/native/vector_baselines.c),
# OpenBLAS where installed, and what a Ruby user would write with Arrays.
# All figures come from this one run: best of several repetitions, reported
# as GB/s of operand data read and as ratios against the library.
#
#   rake bench BENCH=vector
require "zanthic_ext"
require "zanthic_bench"

V = Zanthic::Linalg::Vector
B = ZanthicBench

def best_time(reps)
  best = Float::INFINITY
  reps.times do
    t = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    yield
    best = [best, Process.clock_gettime(Process::CLOCK_MONOTONIC) - t].min
  end
  best
end

# Repetitions per size: native loops are cheap, Ruby's Arrays are not.
NATIVE_REPS = { 10**6 => 40, 10**7 => 8 }.freeze
RUBY_REPS = { 10**6 => 3, 10**7 => 1 }.freeze

rng = Random.new(2024)
puts "zanthic_ext vector reductions (kernel variant: #{Zanthic::Linalg::ISA})"
puts format("%-10s %-9s %-26s %10s %9s %10s", "op", "n", "implementation", "time ms", "GB/s", "lib speedup")

[10**6, 10**7].each do |n|
  a = Array.new(n) { rng.rand(-1.0..1.0) }
  b = Array.new(n) { rng.rand(-1.0..1.0) }
  va = V.alloc(a)
  vb = V.alloc(b)
  ops = {
    "dot" => [16 * n, {
      "library (Vector#*)" => -> { va * vb },
      "scalar C loop" => -> { B.scalar_dot(va, vb) },
      "OpenBLAS cblas_ddot" => B.respond_to?(:blas_dot) && -> { B.blas_dot(va, vb) },
      "Ruby a.zip(b).sum { x*y }" => -> { a.zip(b).sum { |x, y| x * y } },
    }],
    "magnitude" => [8 * n, {
      "library (cvector_magnitude)" => -> { B.library_magnitude(va) },
      "scalar C loop" => -> { B.scalar_magnitude(va) },
      "OpenBLAS cblas_dnrm2" => B.respond_to?(:blas_nrm2) && -> { B.blas_nrm2(va) },
      "Ruby sqrt(a.sum { x*x })" => -> { Math.sqrt(a.sum { |x| x * x }) },
    }],
    "sum" => [8 * n, {
      "library (Vector#sum)" => -> { va.sum },
      "scalar C loop" => -> { B.scalar_sum(va) },
      "Ruby a.sum" => -> { a.sum },
    }],
  }
  ops.each do |op, (bytes, impls)|
    lib_time = nil
    reference = nil
    impls.each do |name, fn|
      next unless fn

      value = fn.call # warm-up, and the value for the agreement check
      reference ||= value
      unless (value - reference).abs <= 1e-9 * [1.0, reference.abs].max
        abort "#{op} #{name}: #{value} disagrees with #{reference}"
      end
      t = best_time(name.start_with?("Ruby") ? RUBY_REPS[n] : NATIVE_REPS[n], &fn)
      lib_time ||= t
      puts format("%-10s %-9s %-26s %10.3f %9.2f %9.2fx", op, "10^#{Math.log10(n).round}", name, t * 1e3,
                  bytes / t / 1e9, t / lib_time)
    end
  end
  a = b = va = vb = nil
  GC.start
end
puts "lib speedup = time of the implementation / time of the library's kernel (higher: library faster)"
