# frozen_string_literal: true

require "fiddle"
require "test_helper"

# Vectors under GC stress and compaction, and failing calls that must leave
# nothing allocated.
class TestVectorMemory < Minitest::Test
  BIG = 100_000 # 800 kB per record: a leak of one per call shows at once

  def record(v) = ZanthicConsumer.read_vector(v)

  LIBC = Fiddle.dlopen(nil)
  MALLOC_TRIM = Fiddle::Function.new(LIBC["malloc_trim"], [Fiddle::TYPE_SIZE_T], Fiddle::TYPE_INT)

  # Collects the garbage and hands the allocator's free pages back to the
  # system, so that resident memory measures live allocations rather than
  # what malloc keeps after a burst of large frees.
  def release_free_memory
    GC.start
    MALLOC_TRIM.call(0)
  end

  # assert_memory_flat over +iterations+ failing calls, with free memory
  # released before the first and after the last measured call. A leak of
  # one record per call still shows as hundreds of megabytes.
  def assert_flat(iterations: 1000)
    50.times do
      yield
    rescue StandardError
      nil
    end
    release_free_memory
    calls = 0
    assert_memory_flat(iterations: iterations) do
      calls += 1
      yield
    ensure
      release_free_memory if calls == iterations
    end
  end

  def test_every_allocating_method_under_gc_stress
    results = with_gc_stress do
      v = Vector.alloc([1, 2, 3])
      w = Vector.alloc(3)
      w[0] = 1.5
      enum = v.map
      [
        v.to_a, v.collect { |x| x * 2 }.to_a, enum.with_index { |x, i| x + i }.to_a, v.each.to_a,
        v.normalize.to_a, record(v.row), record(v.col), (v * 2).to_a, v * w, (v - w).to_a,
        v.dup.to_a, v.col.clone.then { |c| record(c) }, Marshal.load(Marshal.dump(v.col)).then { |c| record(c) },
        Vector._load(v._dump(0)).to_a, v.select { |x| x > 1 }, w.to_a, v.sum,
      ]
    end
    expected = [
      [1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [1.0, 3.0, 5.0], [1.0, 2.0, 3.0],
      [1 / Math.sqrt(14), 2 / Math.sqrt(14), 3 / Math.sqrt(14)], [[1.0, 2.0, 3.0], 0], [[1.0, 2.0, 3.0], 1],
      [2.0, 4.0, 6.0], 1.5, [-0.5, 2.0, 3.0], [1.0, 2.0, 3.0], [[1.0, 2.0, 3.0], 1], [[1.0, 2.0, 3.0], 1],
      [1.0, 2.0, 3.0], [2.0, 3.0], [1.5, 0.0, 0.0], 6.0,
    ]
    expected.zip(results).each_with_index { |(e, r), i| assert_close [e].flatten, [r].flatten, 1e-15, "result #{i}" }
  end

  def test_failures_under_gc_stress
    v = Vector.alloc([1, 2, 3])
    with_gc_stress do
      assert_raises(TypeError) { Vector.alloc([1, "x", 3]) }
      assert_raises(TypeError) { v.collect { nil } }
      assert_equal 3, v.collect { |x| break x.to_i + 2 }
      assert_raises(TypeError) { Vector._load(Marshal.dump({})) }
    end
    assert_equal [1.0, 2.0, 3.0], v.to_a
  end

  def test_compaction_changes_nothing
    rng = Random.new(7)
    data = Array.new(50) { Array.new(rng.rand(0..40)) { rng.rand } }
    vectors = data.each_with_index.map { |a, i| i.odd? ? Vector.alloc(a).col : Vector.alloc(a) }
    garbage = Array.new(2000) { Vector.alloc([1.0]) }
    garbage = nil
    GC.compact
    vectors.zip(data).each_with_index do |(v, a), i|
      assert_equal [a, i.odd? ? 1 : 0], record(v)
      assert_equal a.sum, v.sum if a.size < 2
    end
    GC.compact
    assert_equal data[3].map { |x| x * 2 }, vectors[3].map { |x| x * 2 }.to_a
    assert_nil garbage
  end

  def test_failing_constructions_leave_memory_flat
    bad = Array.new(BIG, 1.0)
    bad[100] = "x"
    assert_flat { Vector.alloc(bad) }
    assert_flat { Vector.alloc(2**61) }
    assert_flat { Vector.alloc(-1) }
    stream = Marshal.dump(bad + [true])
    assert_flat(iterations: 200) { Vector._load(stream) }
  end

  def test_failing_arithmetic_leaves_memory_flat
    v = Vector.alloc(BIG)
    short = Vector.alloc(BIG - 1)
    assert_flat { v * short }
    assert_flat { v - short }
    assert_flat { v * 2**70 }
    assert_flat { v[BIG] = 1.0 }
    assert_flat { v[0] = "x" }
  end

  def test_failing_blocks_leave_memory_flat
    v = Vector.alloc(BIG)
    assert_flat { v.collect { raise ArgumentError } }
    assert_flat { v.collect { break } }
    assert_flat { catch(:out) { v.map { throw :out } } }
    assert_flat { v.map { |x| x.zero? ? nil : x } }
    assert_flat { v.each_slice(2) { break } }
  end

  # An Enumerator abandoned after one step leaves collect suspended in its
  # fiber forever; the result record must still go with the garbage.
  def test_abandoned_map_enumerators_leave_memory_flat
    v = Vector.alloc(BIG)
    assert_flat(iterations: 2000) do
      e = v.map
      e.next
      nil
    end
  end
end
