# frozen_string_literal: true

# Jacobi SVD of term-document-like matrices (about 5% non-zero entries, small
# integer counts, seeded), against the same procedure written literally in C
# (naive products, strided scalar rotations; bench/native/svd_baselines.c)
# and against GSL's SV_decomp through its Ruby binding where installed.
# Times are the best of a few runs, in CPU time of this process (every
# contender runs on one thread; the machine is shared); ratios come from this
# one run.
require "zanthic_ext"
require "zanthic_bench"

begin
  require "gsl"
rescue LoadError
  nil
end

Matrix = Zanthic::Linalg::Matrix

def term_document(rows, cols, seed)
  rng = Random.new(seed)
  Array.new(rows) { Array.new(cols) { rng.rand < 0.05 ? (1 + rng.rand(5)).to_f : 0.0 } }
end

def best_of(runs)
  Array.new(runs) do
    t = Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID)
    yield
    Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID) - t
  end.min
end

def max_relative_difference(a, b)
  scale = [a.flatten.map(&:abs).max || 0.0, 1e-300].max
  a.flatten.zip(b.flatten).map { |x, y| (x - y).abs }.max.to_f / scale
end

def read_values(vector)
  (0...vector.size).map { |i| vector[i] }
end

gsl = defined?(GSL::Matrix)
puts format("%-10s %6s %10s %10s %8s %10s %8s  %s", "shape", "sweeps", "library s", "literal s", "speedup",
            gsl ? "GSL s" : "GSL", gsl ? "vs GSL" : "", "max rel. diff S sorted / S / U / V")
[[1000, 200, 1], [200, 1000, 2], [400, 400, 3], [2000, 100, 4]].each do |rows, cols, seed|
  data = term_document(rows, cols, seed)
  m = Matrix.alloc(*data)
  u = v = s = nil
  library = best_of(5) { u, v, s = m.svd }
  sweeps = lu = lv = ls = nil
  literal = best_of(2) { sweeps, lu, lv, ls = ZanthicBench.literal_svd(m) }
  # From order 24 the sweeps round differently from the literal procedure;
  # where two values nearly tie early on, that can land them (and their
  # columns) in other positions, so the sorted values are compared as well.
  diffs = [max_relative_difference(ls.sort, read_values(s).sort), max_relative_difference(ls, read_values(s)),
           max_relative_difference(lu.to_a, u.to_a),
           max_relative_difference(lv.to_a, v.to_a)]
  gsl_time = nil
  if gsl
    g = GSL::Matrix.alloc(data.flatten, rows, cols)
    # GSL decomposes only rows >= columns; a wide matrix goes in transposed.
    g = g.transpose if rows < cols
    gsl_time = best_of(3) { g.SV_decomp }
  end
  puts format("%-10s %6d %10.4f %10.4f %7.1fx %10s %8s  %.1e / %.1e / %.1e / %.1e", "#{rows}x#{cols}", sweeps, library,
              literal, literal / library, gsl_time ? format("%.4f", gsl_time) : "n/a",
              gsl_time ? format("%.2fx", gsl_time / library) : "", *diffs)
end

# Every kernel variant the processor runs, on 2000x100 at one thread, against
# the literal procedure timed in this process in between (medians of
# interleaved rounds). A variant is picked once per process, so each round
# times it in a child process.
def child_svd_seconds(isa, runs)
  script = <<~RUBY
    require "zanthic_ext"
    rng = Random.new(4)
    rows = Array.new(2000) { Array.new(100) { rng.rand < 0.05 ? (1 + rng.rand(5)).to_f : 0.0 } }
    m = Zanthic::Linalg::Matrix.alloc(*rows)
    m.svd
    times = Array.new(#{runs}) do
      t = Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID)
      m.svd
      Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID) - t
    end
    print times.sort[times.size / 2]
  RUBY
  env = { "ZANTHIC_ISA" => isa, "ZANTHIC_THREADS" => "1" }
  out = IO.popen(env, [RbConfig.ruby, "-I", File.expand_path("../lib", __dir__), "-e", script], err: File::NULL, &:read)
  $?.success? ? out.to_f : nil
end

median = ->(values) { values.sort[values.size / 2] }
m = Matrix.alloc(*term_document(2000, 100, 4))
variants = { "avx512" => [], "avx2" => [], "portable" => [] }
literal_times = []
5.times do
  variants.each_key { |isa| variants[isa] << child_svd_seconds(isa, 9) }
  literal_times << best_of(1) { ZanthicBench.literal_svd(m) }
end
literal = median.(literal_times)
puts
puts format("2000x100, one thread, each variant against the literal procedure (%.4f s, median of 5):", literal)
variants.each do |isa, times|
  if times.any?(&:nil?)
    puts format("  %-9s not run on this processor", isa)
  else
    puts format("  %-9s %.4f s  %6.1fx", isa, median.(times), literal / median.(times))
  end
end
