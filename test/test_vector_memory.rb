# frozen_string_literal: true

require "test_helper"
require "vector_memory_support"

# Vectors under GC stress and compaction, and failing calls that must leave
# nothing allocated.
class TestVectorMemory < Minitest::Test
  include VectorMemorySupport

  BIG = 50_000 # 400 kB per record: a leak of one per call shows at once

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
    Array.new(2000) { Vector.alloc([1.0]) } # garbage between the survivors, so that they move
    compact_heap
    vectors.zip(data).each_with_index do |(v, a), i|
      assert_equal [a, i.odd? ? 1 : 0], record(v)
      assert_close [a.sum], [v.sum]
    end
    doubled = vectors[3].map { |x| x * 2 }
    compact_heap
    assert_equal data[3].map { |x| x * 2 }, doubled.to_a
    assert_equal data[3], Marshal.load(Marshal.dump(vectors[3])).to_a
  end

  def test_failing_constructions_leave_memory_flat
    bad = Array.new(BIG, 1.0)
    bad[100] = "x"
    assert_flat { Vector.alloc(bad) }
    assert_flat { Vector.alloc(2**61) }
    assert_flat { Vector.alloc(-1) }
    # 80 kB records here: every call parses the whole stream first.
    stream = Marshal.dump(bad.first(10_000) + [true])
    assert_flat { Vector._load(stream) }
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
