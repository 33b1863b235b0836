# frozen_string_literal: true

require "fileutils"
require "rbconfig"
require "test_helper"
require "vector_memory_support"

# The vector half of the native interface, used the way another extension
# uses it (test/native/consumer.c), and the reduction kernels behind it.
class TestVectorNative < Minitest::Test
  include VectorMemorySupport

  ROOT = File.expand_path("..", __dir__)

  def test_kernels_on_vector_objects
    a = Vector.alloc([1, 2, 3]).col
    b = Vector.alloc([4, 6, 8])
    dot, diff, unit = ZanthicConsumer.vector_kernels(a, b)
    assert_equal 40.0, dot
    assert_instance_of Vector, diff
    assert_equal [[-3.0, -4.0, -5.0], 0], ZanthicConsumer.read_vector(diff)
    norm = Math.sqrt(14)
    assert_equal [[1 / norm, 2 / norm, 3 / norm], 1], ZanthicConsumer.read_vector(unit)
    assert_equal 6.0, ZanthicConsumer.sum(a)
    assert_equal norm, ZanthicConsumer.magnitude(a)
    assert_equal 40.0, ZanthicConsumer.copy_dot(a, b)
    assert_equal [1.0, 2.0, 3.0], a.to_a
  end

  def test_kernels_through_records_of_the_consumer
    dot, diff, unit, mag, sum = ZanthicConsumer.vector_ops([3, 4], [1, 2])
    assert_equal [11.0, [2.0, 2.0], [0.6, 0.8], 5.0, 7.0], [dot, diff, unit.map { |x| x.round(15) }, mag, sum]
    assert_equal [0.0, [], [], 0.0, 0.0], ZanthicConsumer.vector_ops([], [])
    assert_equal [0, [0, 5], [5, 0], [0, 0], [2, 3], true, false], ZanthicConsumer.zero_extents
    assert_equal 3, ZanthicConsumer.alloc_free(3)
    assert_raises(ArgumentError) { ZanthicConsumer.alloc_free(2**61) }
  end

  def test_objects_made_by_the_consumer_are_vectors
    v = ZanthicConsumer.make_vector([1, 2], true)
    assert_instance_of Vector, v
    assert_equal [[1.0, 2.0], 1], ZanthicConsumer.read_vector(v)
    assert_equal [[2.0, 4.0], 1], ZanthicConsumer.read_vector(v * 2)
    assert_equal [1.0, 2.0, true], Marshal.load(v._dump(0))
  end

  def test_size_mismatch_raised_inside_the_consumer_propagates
    a = Vector.alloc([1, 2, 3])
    b = Vector.alloc([1, 2])
    msg = "Vector sizes must match for dot product"
    assert_raises_message(ArgumentError, msg) { ZanthicConsumer.copy_dot(a, b) }
    assert_raises_message(ArgumentError, msg) { ZanthicConsumer.vector_kernels(a, b) }
    assert_raises_message(ArgumentError, msg) { ZanthicConsumer.vector_ops([1, 2, 3], [1, 2]) }
    assert_raises(TypeError) { ZanthicConsumer.copy_dot(Matrix.allocate, a) }
  end

  # copy_dot allocates an 800 kB record of its own before cvector_dot raises;
  # vector_ops two records from Arrays. Neither may survive the exception.
  def test_failing_consumer_calls_leave_memory_flat
    big = Vector.alloc(100_000)
    short = Vector.alloc(99_999)
    assert_flat(iterations: 2000) { ZanthicConsumer.copy_dot(big, short) }
    a = Array.new(20_000, 1.0)
    b = Array.new(19_999, 1.0)
    assert_flat(iterations: 2000) { ZanthicConsumer.vector_ops(a, b) }
  end

  # Every kernel variant the processor supports, checked against a long
  # double reference by a small program built from the kernels' header.
  def test_every_reduction_kernel_variant
    assert_match(/\Aok portable/, run_kernel_check("reduce_check"))
  end
end
