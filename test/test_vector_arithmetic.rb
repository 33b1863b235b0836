# frozen_string_literal: true

require "test_helper"

# Sums, dot products, norms, normalisation, scaling and subtraction.
class TestVectorArithmetic < Minitest::Test
  # Small integers sum exactly in any order, so every extent (all the
  # unrolled bodies and tails of the vector kernels) must give the exact sum.
  def test_reductions_exact_for_every_tail_length
    (0..80).each do |n|
      a = Array.new(n) { |i| (i % 7) - 3 + i }
      b = Array.new(n) { |i| (i % 5) - 2 }
      va = Vector.alloc(a)
      vb = Vector.alloc(b).col
      assert_equal a.sum.to_f, va.sum, "sum n=#{n}"
      assert_equal a.zip(b).sum { |x, y| x * y }.to_f, va * vb, "dot n=#{n}"
      assert_equal Math.sqrt(a.sum { |x| x * x }), ZanthicConsumer.magnitude(va), "magnitude n=#{n}"
    end
  end

  def test_reductions_on_random_data_match_ruby
    rng = Random.new(42)
    a = Array.new(100_003) { rng.rand(-1.0..1.0) }
    b = Array.new(100_003) { rng.rand(-1.0..1.0) }
    va = Vector.alloc(a)
    assert_close [a.sum], [va.sum], 1e-10
    assert_close [a.zip(b).sum { |x, y| x * y }], [va * Vector.alloc(b)], 1e-10
    assert_close [Math.sqrt(a.sum { |x| x * x })], [ZanthicConsumer.magnitude(va)], 1e-13
  end

  def test_empty_vector
    e = Vector.alloc(0).col
    assert_equal 0.0, e.sum
    assert_equal 0.0, e * e
    assert_equal [[], 1], record(e.normalize)
    assert_equal [[], 0], record(e - e)
    assert_equal 0.0, ZanthicConsumer.magnitude(e)
  end

  def test_dot_product
    a = Vector.alloc([1, 2, 3])
    b = Vector.alloc([4, 5, 6])
    [[a, b], [a.col, b], [a, b.col], [a.col, b.col]].each { |x, y| assert_equal 32.0, x * y }
    assert_raises_message(ArgumentError, "Vector sizes must match for dot product") { a * Vector.alloc(2) }
  end

  def test_scaling
    v = Vector.alloc([1, -2, 3]).col
    assert_equal [[2.0, -4.0, 6.0], 1], record(v * 2)
    assert_equal [[2.5, -5.0, 7.5], 0], record(v.row * 2.5)
    assert_equal [-(2**62).to_f, (2**63).to_f, -(3 * 2**62).to_f], (v * -(2**62)).to_a
    assert_equal [1.0, -2.0, 3.0], v.to_a
  end

  def test_scaling_refuses_anything_but_floats_and_fixnums
    v = Vector.alloc([1, 2, 3])
    {
      2**62 => "Integer", 2**70 => "Integer", nil => "NilClass", 1r => "Rational",
      [1, 2, 3] => "Array", Matrix.allocate => "Zanthic::Linalg::Matrix",
    }.each do |arg, name|
      assert_raises_message(TypeError, "Cannot multiply Vector with #{name}") { v * arg }
    end
  end

  def test_subtraction
    a = Vector.alloc([5, 7, 9]).col
    b = Vector.alloc([1, 2, 3]).col
    assert_equal [[4.0, 5.0, 6.0], 0], record(a - b)
    assert_instance_of Vector, Class.new(Vector).alloc([1]) - Vector.alloc([1])
    assert_raises_message(TypeError, "Cannot subtract Integer from Vector") { a - 1 }
    assert_raises_message(TypeError, "Cannot subtract Array from Vector") { a - [1, 2, 3] }
    assert_raises_message(TypeError, "Cannot subtract Zanthic::Linalg::Matrix from Vector") { a - Matrix.allocate }
    assert_raises_message(ArgumentError, "Vector sizes must match: 3 vs 2") { a - Vector.alloc(2) }
    assert_equal [5.0, 7.0, 9.0], a.to_a
  end

  def test_normalize
    v = Vector.alloc([3, 4]).col
    n = v.normalize
    assert_close [0.6, 0.8], n, 2.3e-16
    assert_equal 1, record(n)[1]
    assert_equal [3.0, 4.0], v.to_a
    assert_equal [0.0], Vector.alloc([1e-10]).normalize.to_a
    assert_close [1.0], Vector.alloc([1.5e-10]).normalize, 2.3e-16
    assert_equal [0.0] * 5, Vector.alloc(5).normalize.to_a
    assert_equal [0.0, 0.0], Vector.alloc([Float::NAN, 1]).normalize.to_a
  end

  # The sum of squares may overflow or underflow although the norm is an
  # ordinary double; the norm is then recomputed with exact scaling.
  def test_magnitude_is_scaled_when_squares_overflow_or_underflow
    mag = ->(a) { ZanthicConsumer.magnitude(Vector.alloc(a)) }
    assert_equal [1.0, 1e-200], Vector.alloc([1e200, 1.0]).normalize.to_a
    assert_equal 1e200, mag.([1e200, 1.0])
    assert_close [Math.sqrt(2) * 1e300], [mag.([1e300] * 2)], 1e-15
    assert_close [5e-200], [mag.([3e-200, 4e-200])], 1e-15
    assert_close [Math.sqrt(1000) * 1e-170], [mag.([1e-170] * 1000)], 1e-14
    assert_equal 1e-323, mag.([5e-324] * 4)
    assert_equal Float::MAX, mag.([Float::MAX, 1.0])
    assert_equal Float::INFINITY, mag.([Float::MAX, Float::MAX])
    assert_equal Float::INFINITY, mag.([1.0, -Float::INFINITY])
    assert mag.([1e300, Float::NAN]).nan?
    assert_equal 0.0, mag.([0.0, -0.0])
    # Ordinary inputs take the direct path.
    assert_equal 5.0, mag.([3, 4])
    assert_close [1.0, 0.0, 1e-300], Vector.alloc([1e300, 0, 1]).normalize, 2.3e-16
    # A norm beyond the double range still normalises finite elements.
    half = Math.sqrt(0.5)
    assert_close [half, -half, 0.0], Vector.alloc([Float::MAX, -Float::MAX, 1.0]).normalize, 2.3e-16
    assert_close [0.6, 0.8], Vector.alloc([0.6 * Float::MAX, 0.8 * Float::MAX]).normalize, 4.5e-16
  end

  # Squares that land in the subnormal range keep only a few bits each, so
  # a subnormal sum of squares must take the scaled path as well; checked
  # against the exact norm of seeded families of tiny elements.
  def test_magnitude_of_tiny_elements_matches_the_exact_norm
    require "bigdecimal"
    mag = ->(a) { ZanthicConsumer.magnitude(Vector.alloc(a)) }
    assert_equal 2e-160, mag.([1e-160] * 4)
    rng = Random.new(160)
    400.times do
      scale = 10.0**-rng.rand(150..175)
      xs = Array.new(rng.rand(1..40)) { (rng.rand * 2 - 1) * scale }
      exact = BigDecimal(xs.sum { |x| x.to_r**2 }, 40).sqrt(40).to_f
      got = mag.(xs)
      assert_operator (got - exact).abs, :<=, 2 * exact * Float::EPSILON, "#{xs.inspect}: #{got} vs #{exact}"
    end
  end

  def test_sum_takes_no_arguments
    assert_raises(ArgumentError) { Vector.alloc([1]).sum(1) }
  end
end
