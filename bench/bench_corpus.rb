# frozen_string_literal: true

# Jacobi SVD at corpus scale: term-count matrices (5% non-zero, counts 1 to 3,
# seeded) of 2000 x 500 and 3000 x 1000, on one and on two threads, against
# LAPACK's dgesdd (thin U and V^T, through LAPACKE, OpenBLAS's LAPACK on one
# thread) in the same run.
#
# Every contender runs in child processes of this one: the library reads its
# thread count (ZANTHIC_THREADS) when it loads, and OpenBLAS reads its
# environment when it loads. The baseline dgesdd runs with OPENBLAS_CORETYPE
# and OPENBLAS_L2_SIZE unset, so that OpenBLAS picks its kernels for this
# processor, and reports the core it chose (OPENBLAS_VERBOSE=2); when that is
# not its AVX-512 core (it does not recognise every processor), dgesdd with
# OPENBLAS_CORETYPE=SkylakeX forced is shown beside. The contenders take turns,
# one child each per round, so that all see the same load on a shared
# machine; times are wall-clock medians over the rounds. The largest relative
# difference of the sorted singular values shows that all computed the same
# thing.
#
#   rake bench BENCH=corpus          RUNS=5 for more rounds
require "rbconfig"
require "tempfile"

RUNS = Integer(ENV.fetch("RUNS", "3"))
SHAPES = [[2000, 500, 11], [3000, 1000, 12]].freeze

def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)
def median(values) = values.sort[values.size / 2]

if ARGV[0] == "--child"
  require "zanthic_ext"
  require "zanthic_bench"
  matrices = Marshal.load(File.binread(ARGV[2]))
  result = matrices.map do |m|
    GC.start
    if ARGV[1] == "library"
      t = now
      _, _, s = m.svd
      [now - t, s.to_a]
    else
      values, seconds = ZanthicBench.lapack_svd(m)
      [seconds, values]
    end
  end
  File.binwrite(ARGV[3], Marshal.dump(result))
  exit
end

require "zanthic_ext"
require "zanthic_bench"
unless ZanthicBench.respond_to?(:lapack_svd)
  puts "corpus SVD: LAPACKE not installed (Debian: liblapacke-dev libopenblas-dev); nothing to compare against"
  exit
end

def term_counts(rows, cols, seed)
  rng = Random.new(seed)
  Array.new(rows) { Array.new(cols) { rng.rand < 0.05 ? (1 + rng.rand(3)).to_f : 0.0 } }
end

# One child's figures: for each shape, [seconds, singular values].
def run_child(role, env, data)
  Tempfile.create("bench_corpus") do |file|
    root = File.expand_path("..", __dir__)
    load_path = ["-I", File.join(root, "lib"), "-I", File.join(root, "tmp/bench")]
    output = IO.popen(env, [RbConfig.ruby, *load_path, __FILE__, "--child", role, data, file.path],
                      err: %i[child out], &:read)
    abort "#{role} child failed:\n#{output}" unless $?.success?
    [Marshal.load(File.binread(file.path)), output]
  end
end

blas_env = { "OPENBLAS_CORETYPE" => nil, "OPENBLAS_L2_SIZE" => nil, "OPENBLAS_VERBOSE" => "2",
             "OPENBLAS_NUM_THREADS" => "1" }
core = ZanthicBench.respond_to?(:blas_core) ? ZanthicBench.blas_core : "unknown"
contenders = [["library, 1 thread", "library", { "ZANTHIC_THREADS" => "1" }],
              ["library, 2 threads", "library", { "ZANTHIC_THREADS" => "2" }],
              ["dgesdd, core #{core}", "lapack", blas_env]]
unless core == "SkylakeX"
  contenders << ["dgesdd, core SkylakeX (forced)", "lapack", blas_env.merge("OPENBLAS_CORETYPE" => "SkylakeX")]
end

Tempfile.create("bench_corpus_data") do |data|
  data.binmode
  data.write(Marshal.dump(SHAPES.map { |rows, cols, seed| Zanthic::Linalg::Matrix.alloc(*term_counts(rows, cols, seed)) }))
  data.flush
  rounds = Array.new(RUNS) { contenders.map { |_, role, env| run_child(role, env, data.path)[0] } }
  puts "Corpus-scale SVD (kernel variant #{Zanthic::Linalg::ISA}; LAPACK dgesdd from OpenBLAS, 1 thread); " \
       "wall-clock medians of #{RUNS} rounds"
  puts format("%-48s %12s %12s", "contender", *SHAPES.map { |r, c, _| "#{r}x#{c} s" })
  times = contenders.each_index.map { |i| SHAPES.each_index.map { |s| median(rounds.map { |r| r[i][s][0] }) } }
  contenders.each_with_index { |(label, _, _), i| puts format("%-48s %12.3f %12.3f", label, *times[i]) }
  (2...contenders.size).each do |b|
    [0, 1].each do |l|
      puts format("%-48s %11.2fx %11.2fx", "#{contenders[l][0]} / #{contenders[b][0].sub('dgesdd, ', '')}",
                  *SHAPES.each_index.map { |s| times[l][s] / times[b][s] })
    end
  end
  reference = rounds[0][2].map { |_, values| values.sort }
  diffs = contenders.each_index.map do |i|
    SHAPES.each_index.map do |s|
      mine = rounds[0][i][s][1].sort
      mine.zip(reference[s]).map { |a, b| (a - b).abs }.max / reference[s].last
    end.max
  end
  puts "(ratios: the library's time over dgesdd's, below 1 = the library is faster; largest relative difference " \
       "of sorted S against the baseline dgesdd: #{diffs.map { |d| format('%.1e', d) }.join(' / ')})"
end
