# frozen_string_literal: true

# Loads the extension (built into lib/ by default, another build through
# ZANTHIC_LIB, found ahead of lib/) and the test-only native consumer, and
# supplies the shared assertions.
root = File.expand_path("..", __dir__)
$LOAD_PATH.unshift(File.join(root, "lib"))
$LOAD_PATH.unshift(ENV["ZANTHIC_LIB"]) if ENV["ZANTHIC_LIB"]
$LOAD_PATH.unshift(File.join(root, "tmp", ENV.fetch("ZANTHIC_VARIANT", "release"), "consumer"))

require "fileutils"
require "minitest/autorun"
require "zanthic_ext"
require "zanthic_consumer"

# lib/ is still on the path behind ZANTHIC_LIB: make sure the requested build
# is the one that loaded, not the release build behind it.
if ENV["ZANTHIC_LIB"]
  loaded = $LOADED_FEATURES.grep(%r{/zanthic_ext/zanthic_ext\.so\z}).first.to_s
  wanted = File.join(File.expand_path(ENV["ZANTHIC_LIB"]), "")
  abort "zanthic_ext loaded from #{loaded}, not #{wanted}" unless loaded.start_with?(wanted)
end

module ZanthicAssertions
  UNDER_VALGRIND = ENV.key?("RUBY_MEMCHECK_RUNNING")

  # The directory of the build that loaded (it holds zanthic_ext/zanthic_ext.so).
  LOADED_LIB = File.dirname($LOADED_FEATURES.grep(%r{/zanthic_ext/zanthic_ext\.so\z}).first.to_s, 2)

  # Load-path flags that make a child interpreter load the build in +lib+
  # (this one's by default), with lib/zanthic_ext.rb behind it.
  def child_load_path(lib = LOADED_LIB)
    ["-I", lib, "-I", File.expand_path("../lib", __dir__)]
  end

  Vector = Zanthic::Linalg::Vector
  Matrix = Zanthic::Linalg::Matrix

  # The fault-injection build (rake compile:faults); the sanitizer run points
  # this at a build with both the sanitizers and fault injection.
  FAULTS_LIB = ENV.fetch("ZANTHIC_FAULTS_LIB", File.expand_path("../tmp/faults/lib", __dir__))

  def skip_without_faults_build
    built = File.exist?(File.join(FAULTS_LIB, "zanthic_ext", "zanthic_ext.so"))
    skip "fault-injection build missing: rake compile:faults" unless built
  end

  def vec(*values) = Vector.alloc(values)

  # A vector's record as the native consumer reads it: [elements, is_col].
  def record(v) = ZanthicConsumer.read_vector(v)

  # Asserts that the block raises exactly +klass+ with exactly +message+.
  def assert_raises_message(klass, message, &block)
    error = assert_raises(klass, &block)
    assert_equal klass, error.class
    assert_equal message, error.message
    error
  end

  # Elementwise comparison of two flat or nested Arrays (or objects with
  # to_a) within +tol+ relative to max(1, |expected|); NaN matches NaN.
  def assert_close(expected, actual, tol = 1e-12, msg = nil)
    expected = expected.to_a if expected.respond_to?(:to_a) && !expected.is_a?(Array)
    actual = actual.to_a if actual.respond_to?(:to_a) && !actual.is_a?(Array)
    e = expected.flatten
    a = actual.flatten
    assert_equal e.size, a.size, "#{msg} sizes differ: #{expected.inspect} vs #{actual.inspect}"
    e.zip(a).each_with_index do |(x, y), i|
      if x.is_a?(Float) && x.nan?
        assert y.nan?, "#{msg} element #{i}: expected NaN, got #{y}"
      else
        assert (x - y).abs <= tol * [1.0, x.abs].max, "#{msg} element #{i}: expected #{x}, got #{y}"
      end
    end
  end

  # Exact elementwise equality that tells -0.0 from 0.0 and matches NaNs.
  def assert_bits_equal(expected, actual, msg = nil)
    pack = ->(arr) { arr.flatten.pack("G*") }
    assert_equal pack.(expected), pack.(actual), msg || "expected #{expected.inspect}, got #{actual.inspect}"
  end

  # Builds test/kernels/<name>.cpp with the sanitizers on (plus +flags),
  # linked with the dispatch unit, into tmp/kernels/<compiler>/<output> and
  # runs it; returns its output. A program that does not compile fails the
  # test: only the absence of any compiler skips it. The build is reused
  # while the command and the sources are unchanged (the suite runs once per
  # kernel variant). The checks exercise every instruction-set variant of a
  # kernel unit, not only the one the run-time dispatch picks, so they run
  # unforced (ZANTHIC_ISA cleared).
  def run_kernel_check(name, flags: [], output: name)
    cxx = ENV.fetch("CXX", "g++")
    skip "no C++ compiler (#{cxx})" unless system(*cxx.split, "--version", out: File::NULL, err: File::NULL)
    root = File.expand_path("..", __dir__)
    out_dir = File.join(root, "tmp", "kernels", File.basename(cxx.split.first))
    FileUtils.mkdir_p(out_dir)
    exe = File.join(out_dir, output)
    # Ruby's headers as system headers: Clang's -Wextra finds unused
    # parameters in them.
    includes = ["-I", File.join(root, "ext/zanthic_ext"), "-I", File.join(root, "ext/zanthic_ext/include"),
                *[RbConfig::CONFIG["rubyhdrdir"], RbConfig::CONFIG["rubyarchhdrdir"]].flat_map { |dir| ["-isystem", dir] }]
    source = File.join(root, "test/kernels/#{name}.cpp")
    command = [*cxx.split, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-ffp-contract=off",
               "-fsanitize=address,undefined", *flags, *includes, source, File.join(root, "ext/zanthic_ext/isa.cpp"),
               "-o", exe]
    inputs = [source, *Dir[File.join(root, "ext/zanthic_ext/**/*.{h,cpp}")]]
    stamp = "#{exe}.command"
    unless File.exist?(stamp) && File.read(stamp) == command.join(" ") && FileUtils.uptodate?(exe, inputs)
      File.delete(stamp) if File.exist?(stamp)
      diagnostics = IO.popen(command, err: %i[child out], &:read)
      assert $?.success?, "#{name} does not compile:\n#{diagnostics}"
      File.write(stamp, command.join(" "))
    end
    result = IO.popen({ "LD_PRELOAD" => nil, "ASAN_OPTIONS" => "detect_leaks=1", "ZANTHIC_ISA" => nil }, [exe], &:read)
    assert $?.success?, "#{output}: #{result}"
    result
  end

  # Seeded standard normal entries (Box-Muller).
  def gaussian_rows(rows, cols, seed)
    rng = Random.new(seed)
    Array.new(rows) { Array.new(cols) { Math.sqrt(-2 * Math.log(1 - rng.rand)) * Math.cos(2 * Math::PI * rng.rand) } }
  end

  # rows x (r.size) matrix U diag(d) Q^T with seeded orthonormal U and Q;
  # rows >= d.size.
  def with_singular_values(rows, d, seed)
    q1, = Matrix.alloc(*gaussian_rows(rows, d.size, seed)).svd
    q2, = Matrix.alloc(*gaussian_rows(d.size, d.size, seed + 1)).svd
    q1 * Matrix.diag(Vector.alloc(d)) * q2.trans
  end

  # Largest deviation of B^T B from the identity over the columns of +basis+
  # (a Matrix) that are not all zero, and the number of such columns.
  def orthonormality_error(basis)
    rows = basis.to_a
    formed = (0...basis.column_size).reject { |j| rows.all? { |row| row[j].zero? } }
    return [0.0, 0] if formed.empty?

    b = Matrix.alloc(*rows.map { |row| row.values_at(*formed) })
    error = (b.trans * b).to_a.each_with_index.flat_map { |row, i| row.each_with_index.map { |x, j| (x - (i == j ? 1 : 0)).abs } }.max
    [error, formed.size]
  end

  # Runs +script+ in a fresh interpreter that loads the same build of the
  # library (and, through the environment, the same sanitizer runtime), and
  # returns [status, output]. A child that has not finished after +limit+
  # seconds is killed: a runaway computation then fails its test instead of
  # stalling the suite. +lib+ picks another build of the library.
  def run_child(script, limit: 600, lib: LOADED_LIB)
    consumer = $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "zanthic_consumer.so")) }
    IO.popen([RbConfig.ruby, *child_load_path(lib), "-I", consumer, "-e", script], err: %i[child out]) do |io|
      reader = Thread.new { io.read }
      unless reader.join(limit)
        Process.kill(:KILL, io.pid)
        reader.join
        return [nil, "killed after #{limit} s"]
      end
      io.close
      [$?, reader.value]
    end
  end

  # The value a child script printed with child_result (below), or nil.
  def child_value(output)
    line = output.lines.find { |l| l.start_with?("RESULT ") }
    line && Marshal.load(line.delete_prefix("RESULT ").chomp.unpack1("m0"))
  end

  # The line of a child script that hands +expr+ back to the test.
  def child_result(expr) = %(puts "RESULT " + [Marshal.dump(#{expr})].pack("m0"))

  def rss_bytes
    File.read("/proc/self/statm").split[1].to_i * 4096
  end

  # Runs the block +iterations+ times (each run expected to raise or to leave
  # nothing behind) and asserts that resident memory does not grow by more
  # than +limit+ bytes once the garbage collector has run.
  def assert_memory_flat(iterations: 2000, limit: 32 << 20, &block)
    # Under valgrind the leak check itself is the judge; a few rounds suffice.
    return (iterations / 100 + 1).times { swallow_errors(&block) } if UNDER_VALGRIND

    3.times { GC.start }
    before = rss_bytes
    iterations.times { swallow_errors(&block) }
    3.times { GC.start }
    growth = rss_bytes - before
    assert growth < limit, "memory grew by #{growth} bytes over #{iterations} calls"
  end

  def swallow_errors
    yield
  rescue StandardError, NoMemoryError
    nil
  end

  # Moves every movable object. Under valgrind, compaction's read barrier
  # (pages protected and faulted back in) shows up as invalid reads inside
  # the interpreter, so there a plain collection stands in for it.
  def compact_heap
    UNDER_VALGRIND ? GC.start : GC.compact
  end

  # GC.stress under valgrind would take hours; there the block runs plainly.
  def with_gc_stress
    return yield if UNDER_VALGRIND

    GC.stress = true
    yield
  ensure
    GC.stress = false
  end
end

class Minitest::Test
  include ZanthicAssertions
end
