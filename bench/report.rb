# frozen_string_literal: true

# The README's performance tables from one run: every row measured here, in
# child processes of this one, and printed as markdown ready to paste, with
# the machine, its load and the baselines' builds.
#
# Each contender runs in a child whose environment is fixed when it starts:
# the library reads ZANTHIC_THREADS when it loads, OpenBLAS reads
# OPENBLAS_CORETYPE when it loads. OpenBLAS runs on one thread, once on the
# core it detects itself (OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset) and
# once with its AVX-512 kernels forced (OPENBLAS_CORETYPE=SkylakeX). Within
# a child the library and its baselines are interleaved, repetition by
# repetition, so that both see the same load on a shared machine; every
# figure is a median, every ratio is taken within one child.
#
#   rake bench:report            (builds what it needs; about 3 minutes here)
#   rake bench:report README=1   also puts the tables in README.md
require "etc"
require "rbconfig"
require "stringio"
require "tempfile"
require_relative "responsiveness"

ROOT = File.expand_path("..", __dir__)
KERNEL_SPEED = File.join(ROOT, "tmp/bench/kernel_speed")
BLAS_DEFAULT = { "OPENBLAS_CORETYPE" => nil, "OPENBLAS_L2_SIZE" => nil, "OPENBLAS_VERBOSE" => "2",
                 "OPENBLAS_NUM_THREADS" => "1" }.freeze
BLAS_FORCED = BLAS_DEFAULT.merge("OPENBLAS_CORETYPE" => "SkylakeX").freeze

def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

def median(values)
  sorted = values.sort
  sorted[sorted.size / 2]
end

def timed
  t = now
  yield
  now - t
end

# Median seconds per call of each contender over reps rounds; every round
# makes inner calls of each contender in turn. Contenders given as nil or
# false are skipped. With gc, garbage of earlier rounds is collected before
# each contender's turn, outside the timing; without, the operands stay in
# the caches from one call to the next (a collection walks the whole heap).
# With a contender named lib, :ratio holds for every contender the median
# over the rounds of its time divided by lib's in the same round: steadier
# on a shared machine than the ratio of the medians.
def interleaved(reps, contenders, inner: 1, gc: true)
  live = contenders.select { |_, fn| fn }
  rounds = Array.new(reps) do
    live.to_h do |name, fn|
      GC.start if gc
      [name, timed { inner.times { fn.call } } / inner]
    end
  end
  result = live.keys.to_h { |name| [name, median(rounds.map { |r| r[name] })] }
  result[:ratio] = live.keys.to_h { |name| [name, median(rounds.map { |r| r[name] / r[:lib] })] } if live.key?(:lib)
  result
end

# ---------------------------------------------------------------------------
# Measurements, each run inside a child

module Measure
  module_function

  def setup
    require "zanthic_ext"
    require "zanthic_bench"
    @b = ZanthicBench
    @blas = @b.respond_to?(:blas_multiply)
    @lapack = @b.respond_to?(:lapack_svd)
    begin
      require "gsl"
      @gsl = defined?(GSL::Matrix)
    rescue LoadError
      @gsl = false
    end
    require "matrix"
  end

  def blas? = @blas

  def term_counts(rows, cols, seed, max)
    rng = Random.new(seed)
    Array.new(rows) { Array.new(cols) { rng.rand < 0.05 ? (1 + rng.rand(max)).to_f : 0.0 } }
  end

  # Library and baselines on one thread (the main table). With only_blas, the
  # library and OpenBLAS alone (the run with OpenBLAS's kernels forced).
  def main_table(only_blas)
    v = Zanthic::Linalg::Vector
    m = Zanthic::Linalg::Matrix
    rng = Random.new(2024)
    out = {}
    blas = @blas
    none = !only_blas

    n = 10**6
    a = Array.new(n) { rng.rand(-1.0..1.0) }
    b = Array.new(n) { rng.rand(-1.0..1.0) }
    va = v.alloc(a)
    vb = v.alloc(b)
    out[:dot] = interleaved(31, { lib: -> { va * vb }, plain: none && -> { @b.scalar_dot(va, vb) },
                                  blas: blas && -> { @b.blas_dot(va, vb) } }, inner: 20, gc: false)
    out[:dot][:ruby] = median(Array.new(3) { timed { a.zip(b).sum { |x, y| x * y } } }) if none
    out[:dot][:bytes] = 16.0 * n

    n = 10**7
    a = Array.new(n) { rng.rand(-1.0..1.0) }
    va = v.alloc(a)
    out[:norm] = interleaved(9, { lib: -> { @b.library_magnitude(va) }, plain: none && -> { @b.scalar_magnitude(va) },
                                  blas: blas && @b.respond_to?(:blas_nrm2) && -> { @b.blas_nrm2(va) } },
                             inner: 2, gc: false)
    out[:norm][:ruby] = timed { Math.sqrt(a.sum { |x| x * x }) } if none
    out[:norm][:bytes] = 8.0 * n
    a = b = va = vb = nil

    [[:product, 1000, 1000, 1000, 5], [:gram, 100, 2000, 100, 15]].each do |key, rows, inner, cols, reps|
      x = @b.random_matrix(rows, inner, 1)
      y = @b.random_matrix(inner, cols, 2)
      out[key] = interleaved(reps, { lib: -> { x * y }, blas: blas && -> { @b.blas_multiply(x, y) } })
      out[key][:plain] = median(Array.new(key == :product ? 1 : 3) { timed { @b.naive_multiply(x, y) } }) if none
      if none && key == :gram
        rx = ::Matrix.rows(x.to_a)
        ry = ::Matrix.rows(y.to_a)
        out[key][:ruby] = timed { rx * ry }
      end
      out[key][:flops] = 2.0 * rows * inner * cols
    end

    [[5000, 100], [1000, 1000]].each do |rows, cols|
      x = @b.random_matrix(rows, cols, 3)
      y = @b.random_vectors(1, cols, 4)[0]
      out[:"gemv#{rows}"] = interleaved(41, { lib: -> { x * y }, plain: none && -> { @b.naive_multiply_vector(x, y) },
                                              blas: blas && -> { @b.blas_multiply_vector(x, y) } }, inner: 10, gc: false)
      out[:"gemv#{rows}"][:flops] = 2.0 * rows * cols
    end

    x = @b.random_matrix(2000, 100, 5)
    out[:transpose] = interleaved(41, { lib: -> { x.trans }, plain: none && -> { @b.naive_transpose(x) } },
                                  inner: 5, gc: false)

    unless only_blas
      [[1000, 200, 1], [200, 1000, 2], [400, 400, 3], [2000, 100, 4]].each do |rows, cols, seed|
        data = term_counts(rows, cols, seed, 5)
        x = m.alloc(*data)
        sweeps = nil
        r = interleaved(3, { lib: -> { x.svd }, plain: -> { sweeps, = @b.literal_svd(x) } })
        if @gsl
          g = GSL::Matrix.alloc(data.flatten, rows, cols)
          g = g.transpose if rows < cols # GSL decomposes rows >= columns only
          r[:gsl] = median(Array.new(3) { timed { g.SV_decomp } })
        end
        r[:sweeps] = sweeps
        out[:"svd#{rows}x#{cols}"] = r
      end
      out[:update] = update_stream
    end

    basis = @b.random_matrix(5000, 100, 4)
    vectors = @b.random_vectors(5000, 5000, 5)
    out[:project] = interleaved(3, { lib: -> { basis.batch_project(vectors) },
                                     blas: blas && -> { @b.blas_gemm_project(basis, vectors) },
                                     blas_gemv: blas && -> { @b.blas_gemv_project(basis, vectors) } })
    out[:project][:flops] = 2.0 * 5000 * 5000 * 100
    return out if only_blas

    out[:project][:plain] = timed { @b.naive_batch_project(basis, vectors) }
    if @gsl
      bt = GSL::Matrix.alloc(basis.to_a.flatten, 5000, 100).transpose
      sample = vectors.first(500).map { |vec| GSL::Vector.alloc(vec.to_a).col }
      out[:project][:gsl] = timed { sample.each { |vec| bt * vec } } * 10
    end
    rb = ::Matrix.rows(basis.to_a).transpose
    sample = vectors.first(10).map { |vec| ::Vector.elements(vec.to_a) }
    out[:project][:ruby] = timed { sample.each { |vec| rb * vec } } * 500
    out
  end

  # 300 columns folded into a 5000-row basis at max_rank 100, and (with
  # literal) the literal C procedure on the last 8 of them at full rank.
  def update_stream(literal = true)
    zv = Zanthic::Linalg::Vector
    rows = 5000
    stream = 300
    tail = 8
    factors = @b.random_vectors(40, rows, 1)
    noise = @b.random_vectors(stream, rows, 2)
    weights = @b.random_matrix(stream, 40, 3).to_a
    columns = noise.each_with_index.map do |nv, i|
      data = nv.to_a.map { |x| 0.05 * x }
      weights[i].each_with_index { |w, f| factors[f].each_with_index { |x, r| data[r] += w * x } }
      zv.alloc(data)
    end
    basis = Zanthic::Linalg::Matrix.zeros(rows, 0)
    values = zv.alloc(0)
    checkpoint = nil
    whole = timed do
      columns.each_with_index do |c, i|
        basis, values = basis.incremental_svd_update(values, c, 100, 1e-10)
        checkpoint = [basis, values] if i == stream - tail - 1
      end
    end
    last = columns.last(tail)
    r = interleaved(3, { lib: lambda {
      bb, vv = checkpoint
      last.each { |c| bb, vv = bb.incremental_svd_update(vv, c, 100, 1e-10) }
    }, plain: literal && -> { @b.naive_update_stream(*checkpoint, last, 100, 1e-10) } })
    { stream_rate: stream / whole, tail_rate: tail / r[:lib], plain_rate: r[:plain] && tail / r[:plain] }
  end

  # Term-count matrices against LAPACK dgesdd; the library at the thread
  # count of this child.
  def corpus(with_lapack)
    return nil unless @lapack

    m = Zanthic::Linalg::Matrix
    [[2000, 500, 11], [3000, 1000, 12]].to_h do |rows, cols, seed|
      x = m.alloc(*term_counts(rows, cols, seed, 3))
      [:"#{rows}x#{cols}", interleaved(3, { lib: -> { x.svd }, lapack: with_lapack && -> { @b.lapack_svd(x) } })]
    end
  end

  # The split kernels at the thread count of this child, beside OpenBLAS.
  def threads
    x = @b.random_matrix(1000, 1000, 1)
    y = @b.random_matrix(1000, 1000, 2)
    basis = @b.random_matrix(5000, 100, 3)
    vectors = @b.random_vectors(5000, 5000, 4)
    blas = @blas
    {
      product: interleaved(7, { lib: -> { x * y }, blas: blas && -> { @b.blas_multiply(x, y) } }),
      project: interleaved(5, { lib: -> { basis.batch_project(vectors) },
                                blas: blas && -> { @b.blas_gemm_project(basis, vectors) } }),
      update: update_stream(false),
    }
  end

  def responsiveness
    big = @b.random_matrix(2000, 2000, 5)
    tall = @b.random_matrix(1500, 600, 6)
    {
      gap_product: Responsiveness.ticker_gap { big * big },
      gap_svd: Responsiveness.ticker_gap { tall.svd },
      interrupt_product: median(Array.new(5) { Responsiveness.interrupt_latency { big * big } }),
      interrupt_svd: median(Array.new(5) { Responsiveness.interrupt_latency { tall.svd } }),
    }
  end
end

if ARGV[0] == "--child"
  _, role, path = ARGV
  Measure.setup
  result = { isa: Zanthic::Linalg::ISA,
             core: Measure.blas? ? ZanthicBench.blas_core : nil }
  case role
  when "main" then result[:main] = Measure.main_table(false)
  when "main-forced" then result[:main] = Measure.main_table(true)
  when "corpus" then result[:corpus] = Measure.corpus(true)
  when "corpus-library" then result[:corpus] = Measure.corpus(false)
  when "threads" then result[:threads] = Measure.threads
  when "threads-responsive" then result.merge!(threads: Measure.threads, responsiveness: Measure.responsiveness)
  else abort "unknown role #{role}"
  end
  File.binwrite(path, Marshal.dump(result))
  exit
end

# ---------------------------------------------------------------------------
# The parent: runs the children, then prints the tables

def run_child(role, env)
  Tempfile.create("bench_report") do |file|
    load_path = ["-I", File.join(ROOT, "lib"), "-I", File.join(ROOT, "tmp/bench")]
    started = now
    output = IO.popen(env, [RbConfig.ruby, *load_path, __FILE__, "--child", role, file.path],
                      err: %i[child out], &:read)
    abort "#{role} child failed:\n#{output}" unless $?.success?
    warn format("  %-20s %s %5.0f s", role, env.map { |k, v| "#{k}=#{v}" if v }.compact.join(" "), now - started)
    Marshal.load(File.binread(file.path))
  end
end

# The kernel program's lines for one OpenBLAS environment, and its header.
def run_kernels(env, part)
  return nil unless File.executable?(KERNEL_SPEED)

  started = now
  output = IO.popen(env, [KERNEL_SPEED, *part], err: %i[child out], &:read)
  abort "kernel_speed failed:\n#{output}" unless $?.success?
  warn format("  %-20s %s %5.0f s", "kernels #{part || 'all'}", env["OPENBLAS_CORETYPE"] || "", now - started)
  output
end

def kernel_ratio(output, kind, shape, contender)
  output&.each_line do |line|
    next unless line.start_with?(kind) && line.include?(" #{shape} ") && line.include?(" #{contender} ")

    return line[/([\d.]+)x (?:dgemv|plain) speed/, 1]&.to_f
  end
  nil
end

def cpu_model
  info = File.read("/proc/cpuinfo")
  name = info[/^model name\s*:\s*(.+)$/, 1] || RbConfig::CONFIG["host_cpu"]
  family = info[/^cpu family\s*:\s*(\d+)/, 1]
  model = info[/^model\s*:\s*(\d+)/, 1]
  family && model ? "#{name} (family #{family}, model #{model})" : name
rescue SystemCallError
  RbConfig::CONFIG["host_cpu"]
end

def load_average = File.read("/proc/loadavg").split.first(3).join(" ")

# Ratio cell: how many times slower (or faster) the baseline is than the
# library.
def versus(baseline, lib)
  return "" unless baseline && lib

  r = baseline / lib
  times = ->(x) { x >= 100 ? format("%.0fx", x) : x >= 10 ? format("%.1fx", x) : format("%.2fx", x) }
  r >= 1 ? "#{times.(r)} slower" : "#{times.(1 / r)} faster"
end

# The same for a measured row: the per-round ratio where the baseline was
# interleaved with the library, the ratio of the times otherwise.
def cmp(row, key)
  ratio = row[:ratio]&.[](key)
  ratio ? versus(ratio, 1.0) : versus(row[key], row[:lib])
end

def ms(t) = t ? format("%.3g ms", t * 1e3) : "n/a"

def secs(t) = t ? format("%.3g s", t) : "n/a"

report = File.join(ROOT, "tmp/bench/report.md")
warn "bench:report: measuring (every child's environment and duration follow)"
load_start = load_average
t0 = now
main = run_child("main", BLAS_DEFAULT.merge("ZANTHIC_THREADS" => "1"))
forced = main[:core] ? run_child("main-forced", BLAS_FORCED.merge("ZANTHIC_THREADS" => "1")) : nil
kern_default = run_kernels(BLAS_DEFAULT, nil)
kern_forced = run_kernels(BLAS_FORCED, "gemv")
corpus_default = run_child("corpus", BLAS_DEFAULT.merge("ZANTHIC_THREADS" => "1"))
corpus_forced = main[:core] ? run_child("corpus", BLAS_FORCED.merge("ZANTHIC_THREADS" => "1")) : nil
corpus_two = run_child("corpus-library", BLAS_DEFAULT.merge("ZANTHIC_THREADS" => "2"))
one = run_child("threads", BLAS_DEFAULT.merge("ZANTHIC_THREADS" => "1"))
two = run_child("threads-responsive", BLAS_DEFAULT.merge("ZANTHIC_THREADS" => "2"))
one_forced = main[:core] ? run_child("threads", BLAS_FORCED.merge("ZANTHIC_THREADS" => "1")) : nil
elapsed = now - t0

# Everything below goes to standard output and to tmp/bench/report.md.
printed = StringIO.new
$stdout = printed
m = main[:main]
f = forced && forced[:main]
core = main[:core] || "not installed"
forced_core = forced ? forced[:core] : "not installed"
blas_version = kern_default && kern_default[/OpenBLAS (\d+\.\d+\.\d+)/, 1]
nproc = Etc.respond_to?(:nprocessors) ? Etc.nprocessors : "?"

puts "<!-- rake bench:report, #{Time.now.utc.strftime('%Y-%m-%d %H:%M UTC')}, #{format('%.0f', elapsed)} s -->"
puts "Measured #{Time.now.utc.strftime('%Y-%m-%d')} on #{cpu_model} (#{nproc} CPUs, shared; load average " \
     "#{load_start} at the start, #{load_average} at the end), kernel variant `#{main[:isa]}`, Ruby #{RUBY_VERSION}. " \
     "OpenBLAS #{blas_version || '(version unknown)'} on one thread: core `#{core}` as it detects itself, and core " \
     "`#{forced_core}` with `OPENBLAS_CORETYPE=SkylakeX` (its AVX-512 kernels). All figures are medians of " \
     "interleaved repetitions in one run; \"slower\" and \"faster\" describe the baseline against the library, " \
     "measured in the same process."
puts
puts "| operation | ZANTHIC_THREADS | zanthic_ext | plain C | OpenBLAS 1 thr, core #{core} (detected) | " \
     "OpenBLAS 1 thr, core #{forced_core} (forced) | GSL binding | Ruby |"
puts "|---|---|---|---|---|---|---|---|"
row = ->(cells) { puts "| #{cells.join(' | ')} |" }
gbs = ->(r) { format("%.3g GB/s", r[:bytes] / r[:lib] / 1e9) }
gflops = ->(r) { format("%.3g GFLOP/s", r[:flops] / r[:lib] / 1e9) }
row.(["dot, 10^6 doubles", 1, gbs.(m[:dot]), cmp(m[:dot], :plain),
      cmp(m[:dot], :blas), f && cmp(f[:dot], :blas), "",
      "#{cmp(m[:dot], :ruby)} (`zip.sum`)"])
row.(["norm, 10^7 doubles", 1, gbs.(m[:norm]), cmp(m[:norm], :plain),
      "#{cmp(m[:norm], :blas)} (`dnrm2`)", f && cmp(f[:norm], :blas), "",
      cmp(m[:norm], :ruby)])
row.(["1000x1000 product", 1, gflops.(m[:product]), cmp(m[:product], :plain),
      cmp(m[:product], :blas), f && cmp(f[:product], :blas), "", ""])
row.(["100x2000 * 2000x100", 1, gflops.(m[:gram]), cmp(m[:gram], :plain),
      cmp(m[:gram], :blas), f && cmp(f[:gram], :blas), "",
      "#{cmp(m[:gram], :ruby)} (`Matrix`)"])
[[5000, "5000x100"], [1000, "1000x1000"]].each do |key, label|
  r = m[:"gemv#{key}"]
  row.(["matrix x vector #{label}", 1, gflops.(r), cmp(r, :plain), "#{cmp(r, :blas)} (`dgemv`)",
        f && cmp(f[:"gemv#{key}"], :blas), "", ""])
end
row.(["transpose 2000x100", 1, ms(m[:transpose][:lib]), cmp(m[:transpose], :plain),
      "", "", "", ""])
%w[1000x200 200x1000 400x400 2000x100].each do |shape|
  r = m[:"svd#{shape}"]
  row.(["SVD #{shape} (#{r[:sweeps]} sweeps)", 1, secs(r[:lib]), "#{cmp(r, :plain)} (literal procedure)",
        "", "", cmp(r, :gsl), ""])
end
u = m[:update]
row.(["update stream, m = 5000, rank 100", 1, format("%.0f updates/s (%.0f at full rank)", u[:stream_rate], u[:tail_rate]),
      "#{versus(u[:tail_rate], u[:plain_rate])} (literal, full rank)", "", "", "", ""])
p = m[:project]
row.(["batch projection, 5000 x (5000x100)", 1, gflops.(p),
      cmp(p, :plain), "#{cmp(p, :blas_gemv)} (`dgemv`), #{cmp(p, :blas)} (`dgemm`)",
      f && "#{cmp(f[:project], :blas_gemv)} (`dgemv`), #{cmp(f[:project], :blas)} (`dgemm`)",
      cmp(p, :gsl), cmp(p, :ruby)])

puts
puts "Kernels on cache-resident data, every variant this processor runs (`rake bench:kernels`; contender and " \
     "baseline interleaved call by call, median of the per-round speed ratios; above 1 = the library is faster):"
puts
puts "| kernel | threads | variant | vs OpenBLAS dgemv, core #{core} (detected) | vs OpenBLAS dgemv, core SkylakeX (forced) | vs plain loop |"
puts "|---|---|---|---|---|---|"
%w[5000x100 1000x1000 1000x100 300x300].each do |shape|
  %w[avx2 portable].each do |variant|
    d = kernel_ratio(kern_default, "gemv", shape, variant)
    fr = kernel_ratio(kern_forced, "gemv", shape, variant)
    row.(["matrix x vector #{shape}", 1, variant, d ? format("%.2fx", d) : "n/a", fr ? format("%.2fx", fr) : "n/a", ""]) if d
  end
end
%w[2000x100 100x2000 1000x1000].each do |shape|
  %w[avx512 avx2 portable].each do |variant|
    d = kernel_ratio(kern_default, "transpose", shape, variant)
    row.(["transpose #{shape}", 1, variant, "", "", format("%.2fx", d)]) if d
  end
end

puts
puts "Corpus-scale SVD (term counts, 5% non-zero, counts 1-3) against LAPACK `dgesdd` (OpenBLAS, one thread):"
puts
puts "| matrix | zanthic_ext, ZANTHIC_THREADS=1 | zanthic_ext, ZANTHIC_THREADS=2 | dgesdd, core #{core} (detected) | ratio | dgesdd, core #{forced_core} (forced) | ratio |"
puts "|---|---|---|---|---|---|---|"
if corpus_default[:corpus]
  corpus_default[:corpus].each do |shape, r|
    two_lib = corpus_two[:corpus][shape][:lib]
    fr = corpus_forced && corpus_forced[:corpus][shape]
    row.([shape, secs(r[:lib]), secs(two_lib), secs(r[:lapack]), format("%.2fx its time (1 thr)", 1 / r[:ratio][:lapack]),
          fr ? secs(fr[:lapack]) : "n/a", fr ? format("%.2fx its time (1 thr), %.2fx (2 thr)", 1 / fr[:ratio][:lapack], two_lib / fr[:lapack]) : ""])
  end
end

puts
puts "Threads (ZANTHIC_THREADS=1 and 2; the baselines single-threaded):"
puts
puts "| operation | ZANTHIC_THREADS=1 | ZANTHIC_THREADS=2 | OpenBLAS dgemm 1 thr, core #{core} (detected) | OpenBLAS dgemm 1 thr, core #{forced_core} (forced) |"
puts "|---|---|---|---|---|"
[[:product, "1000x1000 product"], [:project, "batch projection, 5000 x (5000x100)"]].each do |key, label|
  a1 = one[:threads][key]
  a2 = two[:threads][key]
  fb = one_forced && one_forced[:threads][key]
  row.([label, ms(a1[:lib]), ms(a2[:lib]), "#{ms(a1[:blas])} (#{format('%.2fx', a1[:blas] / a2[:lib])} the 2-thread time)",
        fb ? "#{ms(fb[:blas])} (#{format('%.2fx', fb[:blas] / a2[:lib])})" : "n/a"])
end
u1 = one[:threads][:update]
u2 = two[:threads][:update]
row.(["update stream, m = 5000, rank 100 (updates/s; at full rank)",
      format("%.0f; %.0f", u1[:stream_rate], u1[:tail_rate]), format("%.0f; %.0f", u2[:stream_rate], u2[:tail_rate]),
      "", ""])
resp = two[:responsiveness]
puts
puts format("Another Ruby thread asking to run every millisecond waited at most %.1f ms during a %.2f s 2000x2000 " \
            "product and %.1f ms during a %.2f s SVD of 1500x600 (2 threads); `Thread#raise` ended either call " \
            "within %.1f / %.1f ms (median of 5).", resp[:gap_product][0] * 1e3, resp[:gap_product][1],
            resp[:gap_svd][0] * 1e3, resp[:gap_svd][1], resp[:interrupt_product] * 1e3, resp[:interrupt_svd] * 1e3)

$stdout = STDOUT
File.write(report, printed.string)
puts printed.string
warn "bench:report: written to #{report}"

# README=1: the tables go between the markers of the README's performance
# section, replacing what was there.
if ENV["README"] == "1"
  readme = File.join(ROOT, "README.md")
  text = File.read(readme)
  marked = /(^<!-- bench:report begin[^\n]*-->\n).*?(^<!-- bench:report end -->$)/m
  abort "bench:report: no bench:report markers in #{readme}" unless text.match?(marked)
  File.write(readme, text.sub(marked) { "#{Regexp.last_match(1)}#{printed.string}#{Regexp.last_match(2)}" })
  warn "bench:report: tables placed in #{readme}"
end
