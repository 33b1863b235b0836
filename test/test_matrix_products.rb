# frozen_string_literal: true

require "fileutils"
require "test_helper"

# Transpose, products, extend_column and vstack, from Ruby and through the
# exported kernels; GC stress and memory-flat failure loops.
class TestMatrixProducts < Minitest::Test
  class SubMatrix < Matrix; end

  K = ZanthicConsumer

  def random_rows(rng, rows, cols) = Array.new(rows) { Array.new(cols) { rng.rand(-1.0..1.0) } }

  # A matrix of any shape, 0 x c included.
  def matrix_of(rows, cols) = rows.empty? ? Matrix.zeros(0, cols) : Matrix.alloc(*rows)

  def reference_product(a, b, n)
    a.map { |row| Array.new(n) { |j| row.each_with_index.sum(0.0) { |x, k| x * b[k][j] } } }
  end

  # Thin, empty, tile-sized and odd shapes, and ones crossing the inner and
  # row block sizes of the product.
  SHAPES = [
    [1, 1, 1], [2, 3, 0], [2, 0, 3], [0, 3, 2], [0, 0, 0], [1, 300, 1], [1, 7, 50], [50, 7, 1],
    [8, 24, 24], [9, 25, 23], [7, 1, 33], [6, 8, 8], [5, 4, 3], [17, 3, 49], [3, 600, 5],
    [125, 20, 30], [13, 257, 26], [121, 31, 1], [2, 513, 2], [33, 65, 17],
  ].freeze

  def test_products_match_a_plain_reference
    rng = Random.new(42)
    SHAPES.each do |m, k, n|
      a = random_rows(rng, m, k)
      b = random_rows(rng, k, n)
      am = matrix_of(a, k)
      bm = matrix_of(b, n)
      product = am * bm
      assert_instance_of Matrix, product
      assert_equal [m, n], product.size, "#{m}x#{k}*#{k}x#{n}"
      expected = reference_product(a, b, n)
      assert_close expected, product.to_a, 1e-13 * [k, 1].max, "#{m}x#{k}*#{k}x#{n}"
      assert_bits_equal product.to_a, K.matrix_kernel(:multiply, a, k, b, n)
      x = Array.new(k) { rng.rand(-1.0..1.0) }
      mv = am * K.make_vector(x, true)
      assert_equal 0, K.read_vector(mv)[1]
      assert_close reference_product(a, x.map { |e| [e] }, 1).flatten, K.read_vector(mv)[0], 1e-13 * [k, 1].max
      assert_bits_equal K.read_vector(mv)[0], K.matrix_kernel(:multiply_vector, a, k, x)[0]
    end
  end

  def test_product_shapes_with_zero_extents
    assert_equal [2, 0], (Matrix.zeros(2, 3) * Matrix.zeros(3, 0)).size
    assert_equal [[0.0] * 3] * 2, (Matrix.zeros(2, 0) * Matrix.zeros(0, 3)).to_a
    assert_equal [0, 2], (Matrix.zeros(0, 3) * Matrix.zeros(3, 2)).size
    assert_equal [[0.0, 0.0], 0], K.matrix_kernel(:multiply_vector, [[], []], 0, [])
    assert_equal [[], 0], K.matrix_kernel(:multiply_vector, [], 4, [1, 2, 3, 4])
  end

  def test_dimension_and_type_errors
    a = Matrix.zeros(2, 3)
    assert_raises_message(ArgumentError, "Matrix dimensions don't match for multiplication: 2x3 * 2x3") { a * a }
    assert_raises_message(ArgumentError, "Matrix columns (3) must match vector size (2)") do
      a * K.make_vector([1.0, 2.0], false)
    end
    [[2**62, "Integer"], [nil, "NilClass"], ["2", "String"], [Rational(1, 2), "Rational"]].each do |x, name|
      assert_raises_message(TypeError, "Cannot multiply Matrix with #{name}") { a * x }
    end
    # The kernels raise the same messages through a native caller.
    assert_raises_message(ArgumentError, "Matrix dimensions don't match for multiplication: 1x2 * 1x2") do
      K.matrix_kernel(:multiply, [[1, 2]], 2, [[1, 2]], 2)
    end
    assert_raises_message(ArgumentError, "Matrix columns (2) must match vector size (1)") do
      K.matrix_kernel(:multiply_vector, [[1, 2]], 2, [1])
    end
    assert_raises_message(ArgumentError, "matrix extent too large: 18446744073709551615x0") do
      K.matrix_kernel(:alloc, 2**64 - 1, 0)
    end
  end

  def test_scalar_products
    m = Matrix.alloc([1, -2], [0.5, 4])
    assert_equal [[2.0, -4.0], [1.0, 8.0]], (m * 2).to_a
    assert_equal [[2.5, -5.0], [1.25, 10.0]], (m * 2.5).to_a
    assert_equal [[2**62 - 1.0, -2 * (2**62 - 1.0)], [0.5 * (2**62 - 1), 4.0 * (2**62 - 1)]], (m * (2**62 - 1)).to_a
    assert_equal [0, 4], (Matrix.zeros(0, 4) * 3).size
  end

  def test_results_are_base_classes_and_operands_unchanged
    m = SubMatrix.alloc([1, 2], [3, 4])
    v = K.make_vector([1.0, 1.0], true)
    assert_instance_of Matrix, m * m
    assert_instance_of Matrix, m * 2
    assert_instance_of Matrix, m.trans
    assert_instance_of Vector, m * v
    assert_equal [[1.0, 2.0], [3.0, 4.0]], m.to_a
    assert_equal [[1.0, 1.0], 1], K.read_vector(v)
    assert_equal [[3.0, 7.0], 0], K.read_vector(m * v)
  end

  def test_transpose
    rng = Random.new(7)
    [[3, 0], [0, 3], [1, 1], [1, 40], [33, 65], [70, 31], [75, 130], [9, 8]].each do |r, c|
      rows = random_rows(rng, r, c)
      m = matrix_of(rows, c)
      t = m.trans
      assert_equal [c, r], t.size
      expected = Array.new(c) { |j| Array.new(r) { |i| rows[i][j] } }
      assert_equal expected, t.to_a
      assert_equal t.to_a, m.transpose.to_a
      assert_equal [expected, [c, r]], K.matrix_kernel(:transpose, rows, c)
    end
  end

  def test_extend_column
    assert_equal [[1.0], [2.0], [3.0]], Matrix.extend_column(Matrix.zeros(3, 0), K.make_vector([1.0, 2.0, 3.0], false)).to_a
    assert_equal [0, 3], Matrix.extend_column(Matrix.zeros(0, 2), K.make_vector([], false)).size
    assert_instance_of SubMatrix, SubMatrix.extend_column(Matrix.alloc([1]), K.make_vector([2.0], false))
    assert_equal [[1.0, 2.0, 5.0], [3.0, 4.0, 6.0]],
                 Matrix.extend_column(Matrix.alloc([1, 2], [3, 4]), K.make_vector([5.0, 6.0], false)).to_a
    assert_raises_message(ArgumentError, "Matrix rows (2) must match vector size (3)") do
      Matrix.extend_column(Matrix.zeros(2, 3), K.make_vector([1.0, 2.0, 3.0], false))
    end
    assert_raises_message(TypeError, "wrong argument type Zanthic::Linalg::Vector (expected Zanthic::Linalg::Matrix)") do
      Matrix.extend_column(K.make_vector([1.0], false), Matrix.zeros(1, 1))
    end
    assert_equal [[[1.0, 2.0, 9.0], [3.0, 4.0, 8.0]], [2, 3]], K.matrix_kernel(:extend_column, [[1, 2], [3, 4]], 2, [9, 8])
    assert_equal [[[7.0]], [1, 1]], K.matrix_kernel(:extend_column, [[]], 0, [7])
    assert_raises_message(ArgumentError, "Matrix rows (1) must match vector size (0)") do
      K.matrix_kernel(:extend_column, [[1]], 1, [])
    end
  end

  def test_vstack
    b = Matrix.alloc([1, 2, 3], [4, 5, 6])
    assert_equal b.to_a, Matrix.vstack(Matrix.zeros(0, 3), b).to_a
    assert_equal b.to_a + [[7.0, 8.0, 9.0]], Matrix.vstack(b, Matrix.alloc([7, 8, 9])).to_a
    assert_instance_of SubMatrix, SubMatrix.vstack(b, b)
    assert_raises_message(ArgumentError, "Matrices must have same column count: 3 vs 2") do
      Matrix.vstack(b, Matrix.zeros(1, 2))
    end
    assert_equal [[], [0, 3]], K.matrix_kernel(:vstack, [], 3, [], 3)
    assert_equal [[[1.0], [2.0]], [2, 1]], K.matrix_kernel(:vstack, [[1]], 1, [[2]], 1)
    assert_raises_message(ArgumentError, "Matrices must have same column count: 1 vs 0") do
      K.matrix_kernel(:vstack, [[1]], 1, [[]], 0)
    end
  end

  def test_diagonal_and_records_through_the_native_interface
    assert_equal [[2.0, 0.0], [0.0, -3.0]], K.matrix_kernel(:diagonal, [2, -3])
    assert_equal [], K.matrix_kernel(:diagonal, [])
    assert_equal [0, 7], K.matrix_kernel(:alloc, 0, 7)
    assert_raises_message(ArgumentError, "matrix too large: 4294967296x4294967296 elements") do
      K.matrix_kernel(:alloc, 2**32, 2**32)
    end
  end

  def test_under_gc_stress
    with_gc_stress do
      m = Matrix.alloc([1, 2, 3], [4, 5, 6])
      d = Matrix.diag([1, 2, 3])
      assert_equal [[1.0, 4.0, 9.0], [4.0, 10.0, 18.0]], (m * d).to_a
      assert_equal [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]], m.trans.to_a
      assert_equal [[14.0, 32.0], 0], K.read_vector(m * K.make_vector([1.0, 2.0, 3.0], false))
      assert_equal [[4.0, 5.0, 6.0], 0], K.read_vector(m.row(1))
      assert_equal m.to_a, Marshal.load(Marshal.dump(m)).to_a
      assert_equal m.to_a, m.dup.to_a
      assert_equal [[2.0, 4.0, 6.0], [8.0, 10.0, 12.0]], (m * 2).to_a
      assert_raises(ArgumentError) { Matrix.alloc([1, 2], [3]) }
    end
    compact_heap
    m = Matrix.alloc([1, 2], [3, 4])
    compact_heap
    assert_equal [[7.0, 10.0], [15.0, 22.0]], (m * m).to_a
  end

  # Every product and transpose kernel variant the processor supports, not
  # only the one the dispatcher picks, checked by a small program built from
  # the kernels' units with the sanitizers on.
  def test_every_kernel_variant
    assert_match(/\Aok portable/, run_kernel_check("matrix_kernels_check"))
  end

  ROW = Array.new(20_000, 1.0).freeze

  # Every call below would strand at least one 160 KB record if it leaked,
  # 240 MB over the loop; the limit leaves room for the interpreter's own
  # garbage (the loaded payloads) that the C library keeps after collection.
  def test_failing_calls_leave_no_memory_behind
    # The sanitizer's quarantine holds freed memory: there the failing paths
    # are only run, for its own checks.
    sanitized = ENV["ZANTHIC_VARIANT"] == "asan"
    wide = Matrix.zeros(50, 2000)
    long_nil = ROW + [nil]
    ragged = Marshal.dump([ROW, ROW, [1.0]])
    late_error = Marshal.dump([ROW, ROW[1..] + ["x"]])
    failing = [
      -> { Matrix.alloc(ROW, ROW, [1.0]) },
      -> { Matrix.alloc(ROW, long_nil[1..]) },
      -> { Matrix.alloc(ROW, ROW, 5) },
      -> { Matrix.diag(long_nil) },
      -> { wide * wide },
      -> { wide * K.make_vector([1.0], false) },
      -> { wide * nil },
      -> { Matrix._load(ragged) },
      -> { Matrix._load(late_error) },
      -> { K.matrix_kernel(:multiply, [ROW], ROW.size, [[1.0]], 1) },
    ]
    failing.each_with_index do |call, i|
      assert_raises(StandardError, "call #{i}") { call.call }
      if sanitized
        20.times { assert_raises(StandardError) { call.call } }
      else
        assert_memory_flat(iterations: 1500, limit: 128 << 20) { call.call }
      end
    end
  end
end
