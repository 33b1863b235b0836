# frozen_string_literal: true

require "rbconfig"
require "tempfile"
require "timeout"
require "test_helper"

# Long computations run without the interpreter lock: other Ruby threads go
# on meanwhile, interrupts stop them and leave nothing behind, and the worker
# threads that split them change no result.
class TestThreads < Minitest::Test
  # The sanitizer build and valgrind slow the kernels down many times over
  # and serialise or perturb threads: what takes a fixed amount of wall time
  # is only checked on the normal build.
  SLOWED = ZanthicAssertions::UNDER_VALGRIND || ENV["ZANTHIC_VARIANT"] == "asan"

  class Stop < StandardError; end

  def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  # Calls that each take a good part of a second on the normal build. The
  # values do not matter for how long they take, so most operands are zero.
  def long_calls
    @long_calls ||= begin
      big = Matrix.zeros(1500, 1500)
      tall = Matrix.zeros(1000, 450)
      basis = Matrix.zeros(20_000, 300)
      values = Vector.alloc(Array.new(300) { |i| 300.0 - i })
      column = Vector.alloc(Array.new(20_000) { |i| (i % 7) - 3.0 })
      # Wide enough that a projection takes several times the 20 ms timeout
      # below even on two fast cores (9 GFLOP).
      projected = Matrix.zeros(2000, 3000)
      short = column.to_a.first(2000)
      vectors = Array.new(1500) { Vector.alloc(short) }
      {
        product: -> { big * big },
        svd: -> { tall.svd },
        update: -> { basis.incremental_svd_update(values, column, 300, 1e-9) },
        batch_project: -> { projected.batch_project(vectors) },
      }
    end
  end

  # Worst wait of a thread that asks to run every millisecond while the block
  # runs, and how long the block took.
  def ticker_gap
    worst = 0.0
    last = now
    running = true
    ticker = Thread.new do
      while running
        sleep 0.001
        t = now
        worst = [worst, t - last].max
        last = t
      end
    end
    sleep 0.01
    start = now
    yield
    taken = now - start
    running = false
    ticker.join
    [worst, taken]
  end

  def test_other_threads_run_during_long_calls
    skip "wall time is not meaningful under the sanitizer or valgrind" if SLOWED
    # Calls of about a second, several times the bound below.
    product = Matrix.zeros(2000, 2000)
    decomposed = Matrix.zeros(1000, 600)
    { product: -> { product * product }, svd: -> { decomposed.svd } }.each do |name, call|
      gap, taken = ticker_gap(&call)
      # Holding the lock would stall the ticker for the whole call.
      assert gap < 0.2, "#{name}: another thread waited #{(gap * 1000).round} ms during a #{(taken * 1000).round} ms call"
    end
  end

  def test_interrupts_stop_long_calls
    long_calls.each do |name, call|
      full = SLOWED ? nil : (start = now; call.(); now - start)

      worker = Thread.new { call.() }
      worker.report_on_exception = false
      sleep 0.02
      start = now
      worker.raise(Stop)
      assert_raises(Stop, name.to_s) { worker.join }
      raised_after = now - start

      # Valgrind runs one thread at a time and may not wake the timeout's
      # thread before the call ends.
      next if ZanthicAssertions::UNDER_VALGRIND

      start = now
      assert_raises(Timeout::Error, name.to_s) { Timeout.timeout(0.02) { call.() } }
      timed_out_after = now - start - 0.02

      next unless full

      # An interrupt that had to wait for the call to end would take about
      # as long as the whole call.
      assert raised_after < full / 2, "#{name}: Thread#raise took #{raised_after} s, the call #{full} s"
      assert timed_out_after < full / 2, "#{name}: Timeout took #{timed_out_after} s, the call #{full} s"
    end
  end

  def test_interrupted_calls_leave_memory_flat
    skip "resident memory is not measured under AddressSanitizer" if ENV["ZANTHIC_VARIANT"] == "asan"
    calls = long_calls.values
    i = 0
    # Each interrupted call has allocated results of 1-50 MB; a leak shows.
    assert_memory_flat(iterations: 60, limit: 96 << 20) do
      call = calls[(i += 1) % calls.size]
      Timeout.timeout(0.01) { call.() }
    end
  end

  # The native interface's kernels let an interrupt raise from inside them
  # too: they release what they made first, and the consumer's own records
  # are its business (freed by its rb_protect). Counted exactly by the
  # fault-injection build, whichever step each interrupt happened to stop.
  def test_interrupted_native_calls_leave_no_block_behind
    assert_interrupts_leave_no_block(<<~SETUP, 60, 0.002, "calls[i % calls.size].()", "calls")
      require "zanthic_consumer"
      rows = Array.new(600) { |i| Array.new(400) { |j| ((i * 7 + j) % 13) - 6.0 } }
      columns = rows.transpose
      calls = [-> { ZanthicConsumer.svd(rows, 400) },
               -> { ZanthicConsumer.matrix_kernel(:multiply, rows, 400, columns, 600) },
               -> { ZanthicConsumer.batch_project(columns, 600, rows.first(6)) }]
    SETUP
  end

  # A tall update spends most of its time in passes over the basis (the
  # projection, the residual, the new basis, or the copy of a column that is
  # dropped): interrupts landing anywhere in them stop the call, which
  # releases everything it made.
  def test_interrupted_tall_updates_leave_no_block_behind
    call = "basis.incremental_svd_update(values, column, 30, i.even? ? 1e-9 : 1e300)"
    assert_interrupts_leave_no_block(<<~SETUP, 40, 0.0005, call, "updates")
      basis = Matrix.zeros(250_000, 24)
      values = Vector.alloc(Array.new(24, 1.0))
      column = Vector.alloc(Array.new(250_000) { |i| (i % 7) - 3.0 })
    SETUP
  end

  # In a child on the fault-injection build: count calls (call, a Ruby
  # expression of i, after setup), the i-th under a timeout of step * (1 +
  # i % 20) seconds; at least one must be interrupted, and no native block
  # may be left behind once the garbage is collected.
  def assert_interrupts_leave_no_block(setup, count, step, call, what)
    skip_without_faults_build
    script = <<~RUBY
      require "timeout"
      require "zanthic_ext"
      include Zanthic::Linalg
      #{setup}
      GC.start
      before = Faults.live
      stopped = 0
      #{count}.times do |i|
        Timeout.timeout(#{step} * (1 + i % 20)) { #{call} }
      rescue Timeout::Error
        stopped += 1
      end
      GC.start
      #{child_result("[Faults.live - before, stopped]")}
    RUBY
    status, out = run_child(script, lib: FAULTS_LIB)
    assert status&.success?, out
    left, stopped = child_value(out)
    assert_operator stopped, :>, 0, "no #{what} were interrupted"
    assert_equal 0, left, "native blocks left behind by #{stopped} interrupted #{what}"
  end

  # An interrupt that does not raise (Thread#wakeup here; a trapped signal
  # alike) stops the call, which then starts over: a steady stream of them
  # must not keep it from ever finishing, nor change its result.
  def test_calls_finish_under_a_stream_of_interrupts_that_do_not_raise
    rng = Random.new(5)
    a = Matrix.alloc(*Array.new(500) { Array.new(300) { rng.rand - 0.5 } })
    expected = a.svd.map(&:to_a)
    worker = Thread.new { a.svd }
    deadline = now + 300
    until worker.join(0.002)
      flunk "the decomposition never finished" if now > deadline
      begin
        worker.wakeup
      rescue ThreadError
        nil # it has just finished
      end
    end
    assert_bits_equal expected, worker.value.map(&:to_a)
  end

  def test_vectors_stay_alive_when_their_array_changes_during_projection
    rng = Random.new(7)
    basis = Matrix.alloc(*Array.new(2000) { Array.new(100) { rng.rand - 0.5 } })
    rows = Array.new(600) { Array.new(2000) { rng.rand - 0.5 } }
    expected = basis.batch_project(rows.map { |r| Vector.alloc(r) }).map(&:to_a)
    vectors = rows.map { |r| Vector.alloc(r) }
    starting = Queue.new
    worker = Thread.new do
      starting << true
      basis.batch_project(vectors)
    end
    # The worker keeps the lock from here until the call releases it.
    starting.pop
    vectors.clear
    GC.start
    assert_bits_equal expected, worker.value.map(&:to_a)
  end

  def test_vector_passes_without_the_lock
    # Long enough to release the lock; every sum below is exact.
    values = Array.new(300_000) { |i| (i % 8) - 3.5 }
    v = Vector.alloc(values)
    assert_equal 0.0, v.sum
    assert_equal 1_575_000.0, v * v
    assert_bits_equal values.map { |x| x * 2 }, (v * 2).to_a
    norm = Math.sqrt(1_575_000.0)
    worst = values.zip(v.normalize.to_a).map { |x, y| (x / norm - y).abs }.max
    assert worst <= 1e-15, "normalize is off by #{worst}"
  end

  # How many times each call lets go of the lock, counted by the
  # fault-injection build, on m x k operands (vectors of m * k elements).
  RELEASES = <<~'RUBY'
    require "zanthic_ext"
    include Zanthic::Linalg
    releases = ->(m, k) do
      v = Vector.alloc(Array.new(m * k) { |i| (i % 5) - 2.0 })
      a = Matrix.zeros(m, k)
      column = Vector.alloc(Array.new(m, 1.0))
      values = Vector.alloc(Array.new(k, 1.0))
      {
        vector_copies: [-> { v.dup }, -> { v.clone }, -> { v.row }, -> { v.col }, -> { v - v }],
        vector_passes: [-> { v.sum }, -> { v * v }, -> { v * 2 }, -> { v.normalize }],
        matrix_copies: [-> { a.dup }, -> { a.clone }, -> { Matrix.extend_column(a, column) }, -> { Matrix.vstack(a, a) }],
        matrix_kernels: [-> { a.trans }, -> { a * 2 }, -> { a * values }],
        # The projection, then the copy of the unchanged decomposition.
        update_copying: [-> { a.incremental_svd_update(values, column, 5, 1e300) }],
      }.transform_values { |calls| calls.map { |call| (before = Faults.releases; call.(); Faults.releases - before) } }
    end
  RUBY

  def test_large_calls_let_go_of_the_lock_and_small_ones_keep_it
    skip_without_faults_build
    status, out = run_child("#{RELEASES}\n#{child_result("[releases.(600, 500), releases.(30, 20)]")}", lib: FAULTS_LIB)
    assert status&.success?, out
    large, small = child_value(out)
    # A few hundred thousand elements to read or write, copies included.
    large.each { |name, counts| assert_equal name == :update_copying ? [2] : [1] * counts.size, counts, name }
    small.each { |name, counts| assert_equal [0] * counts.size, counts, name }
  end

  # Every split kernel on operands large enough to be split, printed as
  # Marshal data.
  SPLIT_WORK = <<~RUBY
    require "zlib"
    l = Zanthic::Linalg
    rng = Random.new(11)
    rows = ->(m, n) { Array.new(m) { Array.new(n) { rng.rand - 0.5 } } }
    a = l::Matrix.alloc(*rows.(301, 257))
    b = l::Matrix.alloc(*rows.(257, 299))
    # Fewer rows than one row block: split by column groups only.
    wide = l::Matrix.alloc(*rows.(97, 513))
    wide_b = l::Matrix.alloc(*rows.(513, 250))
    tall = l::Matrix.alloc(*rows.(1501, 351))
    x = l::Vector.alloc(rows.(1, 351)[0])
    u, v, s = l::Matrix.alloc(*rows.(500, 130)).svd
    # The update's passes over a basis this size go in several chunks.
    basis, values = l::Matrix.alloc(*rows.(4500, 60)).svd.values_at(0, 2)
    column = l::Vector.alloc(rows.(1, 4500)[0])
    vectors = rows.(67, 4500).map { |r| l::Vector.alloc(r) }
    results = [(a * b).to_a, (wide * wide_b).to_a, (tall * x).to_a, u.to_a, v.to_a, s.to_a,
               basis.incremental_svd_update(values, column, 40, 1e-9).map(&:to_a),
               basis.batch_project(vectors).map(&:to_a)]
    # An order with sweeps split by column groups, the last one partial.
    results << l::Matrix.alloc(*rows.(300, 270)).svd.map(&:to_a)
    # An update whose passes over the basis are split (its result as a
    # checksum of its bits).
    tall = l::Matrix.alloc(*rows.(36_000, 60))
    tall_values = l::Vector.alloc(rows.(1, 60)[0])
    tall_column = l::Vector.alloc(rows.(1, 36_000)[0])
    results << tall.incremental_svd_update(tall_values, tall_column, 40, 1e-9).map { |x| Zlib.crc32(x.to_a.flatten.pack("G*")) }
  RUBY

  # What +script+ prints to stdout, run by a child interpreter with +env+.
  def run_script(script, env = {})
    Tempfile.create("threads") do |err|
      out = IO.popen(env, [RbConfig.ruby, *child_load_path, "-rzanthic_ext", "-e", script], "rb", err: err.path,
                     &:read)
      assert $?.success?, File.read(err.path)
      out
    end
  end

  def test_results_do_not_depend_on_the_thread_count
    script = "#{SPLIT_WORK}\nprint Marshal.dump(results)"
    single = run_script(script, "ZANTHIC_THREADS" => "1")
    # The default (one thread per CPU), and an odd count on the normal build.
    others = [{ "ZANTHIC_THREADS" => nil }]
    others << { "ZANTHIC_THREADS" => "3" } unless SLOWED
    others.each do |env|
      assert single == run_script(script, env), "results differ from one thread's with #{env}"
    end
  end

  def test_forked_child_computes_with_its_own_workers
    skip "no fork on this platform" unless Process.respond_to?(:fork)
    script = <<~RUBY
      #{SPLIT_WORK}
      reader, writer = IO.pipe(binmode: true)
      pid = fork do
        reader.close
        #{SPLIT_WORK}
        writer.write(Marshal.dump(results))
        writer.close
        exit!(0)
      end
      writer.close
      child = reader.read
      Process.wait(pid)
      print Marshal.dump([$?.success?, child == Marshal.dump(results)])
    RUBY
    assert_equal [true, true], Marshal.load(run_script(script))
  end
end
