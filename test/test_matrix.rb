# frozen_string_literal: true

require "test_helper"

# Matrix construction, shape, element access, rows and columns, copies and
# Marshal.
class TestMatrix < Minitest::Test
  class SubMatrix < Matrix; end

  # A Numeric whose conversion to Float runs arbitrary Ruby code.
  def numeric_doing(&block)
    Class.new(Numeric) { define_method(:to_f) { block.call; 1.0 } }.new
  end

  def test_registrations
    singleton = { alloc: -1, diag: 1, diagonal: 1, _load: 1 }
    instance = { size: 0, row_size: 0, column_size: 0, :[] => 2, :[]= => 3, trans: 0, transpose: 0, column: 1,
                 row: 1, to_a: 0, :* => 1, _dump: 1 }
    singleton.each { |name, arity| assert_equal arity, Matrix.method(name).arity, name }
    instance.each { |name, arity| assert_equal arity, Matrix.instance_method(name).arity, name }
    assert_empty instance.keys - Matrix.public_instance_methods(false)
    assert_equal Matrix.instance_method(:trans), Matrix.instance_method(:transpose)
  end

  def test_alloc_argument_forms
    assert_equal [[1.0, 2.0, 3.0]], Matrix.alloc([1, 2, 3]).to_a
    assert_equal [[1.0, 2.0], [3.0, 4.0]], Matrix.alloc([[1, 2], [3, 4]]).to_a
    assert_equal [[1.0, 2.0], [3.0, 4.0]], Matrix.alloc([1, 2], [3, 4]).to_a
    assert_equal [1, 2], Matrix.alloc([[1, 2]]).size
    assert_equal [1, 0], Matrix.alloc([]).size
    assert_equal [1, 0], Matrix.alloc([[]]).size
    assert_equal [2, 0], Matrix.alloc([], []).size
    assert_instance_of Float, Matrix.alloc([1, 2])[0, 1]
    assert_instance_of SubMatrix, SubMatrix.alloc([1])
    assert_instance_of SubMatrix, SubMatrix.diag([1])
    assert_instance_of SubMatrix, SubMatrix.zeros(1, 1)
  end

  def test_alloc_errors_in_row_order
    assert_raises_message(ArgumentError, "Matrix.alloc requires at least one row") { Matrix.alloc }
    assert_raises_message(ArgumentError, "All rows must have the same length") { Matrix.alloc([1, 2], [3]) }
    # Rows before the first bad one are converted first; rows after it are not.
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.alloc([1, nil], [3]) }
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.alloc([1, 2], [3, nil], [4]) }
    assert_raises_message(ArgumentError, "All rows must have the same length") { Matrix.alloc([1, 2], [3], [nil, nil]) }
    assert_raises_message(TypeError, "can't convert Array into Float") { Matrix.alloc([[1, 2], [3, 4]], [5, 6]) }
  end

  # A failed alloc leaves its object, without a record, to the GC; found
  # through ObjectSpace before it is collected, it is refused, not read.
  def test_objects_left_by_failed_allocs_are_refused
    GC.disable
    assert_raises(TypeError) { SubMatrix.alloc([1.0], [nil]) }
    assert_raises(ArgumentError) { SubMatrix.zeros(2**62, 4) }
    left = ObjectSpace.each_object(SubMatrix).reject { |m| m.size rescue false }
    assert_operator left.size, :>=, 2
    left.each do |m|
      assert_raises_message(TypeError, "uninitialized TestMatrix::SubMatrix") { m.to_a }
      assert_raises(TypeError) { m * m }
      assert_raises(TypeError) { Matrix.diag(m) }
    end
  ensure
    GC.enable
  end

  def test_rows_that_are_not_arrays_are_refused_before_reading
    vector = ZanthicConsumer.make_vector([1.0], false)
    [[5], [nil], [vector], [[1, 2], 3], [[[1], 2]], [[1], "ab"]].each do |args|
      error = assert_raises(TypeError, args.inspect) { Matrix.alloc(*args) }
      assert_match(/\Awrong argument type \S+ \(expected Array\)\z/, error.message)
    end
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.alloc([nil], 5) }
  end

  def test_ragged_rows_are_refused_before_allocating
    # Allocating rows x (first row's length) first would need 80 GB here.
    long_row = Array.new(10_000, 1.0)
    empty = []
    rows = [long_row] + Array.new(1_000_000, empty)
    assert_raises_message(ArgumentError, "All rows must have the same length") { Matrix.alloc(rows) }
    assert_raises_message(ArgumentError, "All rows must have the same length") do
      Matrix._load(Marshal.dump(rows))
    end
  end

  def test_rows_shrinking_during_conversion_fail_cleanly
    rows = []
    rows.concat([[numeric_doing { rows.clear }, 2.0], [3.0, 4.0]])
    assert_raises_message(TypeError, "wrong argument type nil (expected Array)") { Matrix.alloc(rows) }
    row = []
    row.concat([numeric_doing { row.clear }, 2.0])
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.alloc(row, [1.0, 2.0]) }
    diag = []
    diag.concat([numeric_doing { diag.clear }, 2.0])
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.diag(diag) }
  end

  def test_diag
    assert_equal [0, 0], Matrix.diag([]).size
    assert_equal [[1.0, 0.0], [0.0, 2.0]], Matrix.diag([1, 2]).to_a
    assert_equal Matrix.diag([3, 4]).to_a, Matrix.diagonal([3, 4]).to_a
    vector = ZanthicConsumer.make_vector([5.0, -1.0], true)
    assert_equal [[5.0, 0.0], [0.0, -1.0]], Matrix.diag(vector).to_a
    assert_equal [[5.0, -1.0], 1], ZanthicConsumer.read_vector(vector)
    assert_raises_message(TypeError, "Expected Vector or Array") { Matrix.diag(5) }
    assert_raises_message(TypeError, "no implicit conversion to float from nil") { Matrix.diag([1, nil]) }
  end

  def test_zeros_and_extent_limits
    assert_equal [], Matrix.zeros(0, 3).to_a
    assert_equal [2, 1], Matrix.zeros(2.9, 1).size
    assert_equal [[0.0] * 3] * 2, Matrix.zeros(2, 3).to_a
    assert_raises_message(ArgumentError, "matrix extent too large: 18446744073709551615x0") { Matrix.zeros(-1, 0) }
    assert_raises_message(ArgumentError, "matrix extent too large: 0x18446744073709551615") { Matrix.zeros(0, -1) }
    assert_raises_message(ArgumentError, "matrix too large: 4294967296x4294967296 elements") do
      Matrix.zeros(2**32, 2**32)
    end
  end

  def test_shape_readers
    m = Matrix.zeros(3, 0)
    assert_equal [3, 0], m.size
    assert_equal 3, m.row_size
    assert_equal 0, m.column_size
    assert_equal [[], [], []], m.to_a
    assert_raises_message(IndexError, "index out of bounds") { m[0, 0] }
    refute_same m.size, m.size
  end

  def test_element_access_with_index_normalisation
    m = Matrix.alloc([1, 2, 3], [4, 5, 6])
    assert_equal 6.0, m[-1, -1]
    assert_equal 1.0, m[-2, 0]
    assert_equal 5.0, m[1.9, 1]
    [[-3, 0], [2, 0], [0, 3], [0, -4]].each do |i, j|
      assert_raises_message(IndexError, "index out of bounds") { m[i, j] }
    end
    assert_equal 7, (m[0, 0] = 7)
    assert_equal 7.0, m[0, 0]
    assert_raises_message(IndexError, "index out of bounds") { m[5, 0] = "x" }
    assert_raises(TypeError) { m[0, 0] = nil }
    assert_equal 7.0, m[0, 0]
    assert_raises(TypeError) { m["a", 0] }
  end

  def test_setter_refuses_frozen_matrix
    m = Matrix.alloc([1, 2]).freeze
    assert_raises(FrozenError) { m[0, 0] = 9 }
    # Refused before the indices or the value are looked at.
    assert_raises(FrozenError) { m[5, 0] = 9 }
    assert_raises(FrozenError) { m[0, 0] = "x" }
    assert_equal [[1.0, 2.0]], m.to_a
    # A conversion that freezes the receiver stops the store too.
    w = Matrix.alloc([1, 2])
    assert_raises(FrozenError) { w[0, 1] = numeric_doing { w.freeze } }
    assert_equal [[1.0, 2.0]], w.to_a
  end

  def test_rows_and_columns_are_copies_of_the_base_vector_class
    m = SubMatrix.alloc([1, 2, 3], [4, 5, 6])
    assert_equal [[4.0, 5.0, 6.0], 0], ZanthicConsumer.read_vector(m.row(-1))
    assert_equal [[3.0, 6.0], 1], ZanthicConsumer.read_vector(m.column(2))
    assert_equal [[1.0, 4.0], 1], ZanthicConsumer.read_vector(m.column(-3))
    assert_instance_of Vector, m.row(0)
    assert_instance_of Vector, m.column(0)
    assert_raises_message(IndexError, "row index out of bounds") { m.row(2) }
    assert_raises_message(IndexError, "row index out of bounds") { m.row(-3) }
    assert_raises_message(IndexError, "column index out of bounds") { m.column(-4) }
    row = m.row(0)
    m[0, 0] = 100
    assert_equal [[1.0, 2.0, 3.0], 0], ZanthicConsumer.read_vector(row)
    assert_equal [[], 0], ZanthicConsumer.read_vector(Matrix.zeros(2, 0).row(1))
  end

  def test_to_a_builds_a_new_structure
    m = Matrix.alloc([1, 2])
    a = m.to_a
    a[0][0] = :changed
    assert_equal [[1.0, 2.0]], m.to_a
  end

  def test_dup_and_clone_copy_the_elements
    m = SubMatrix.alloc([1, 2], [3, 4])
    [m.dup, m.clone].each do |copy|
      assert_instance_of SubMatrix, copy
      assert_equal m.to_a, copy.to_a
      copy[0, 0] = 9
      assert_equal 1.0, m[0, 0]
    end
    m.freeze
    assert_predicate m.clone, :frozen?
    refute_predicate m.dup, :frozen?
    assert_equal [[1.0, 2.0], [3.0, 4.0]], m.clone.to_a
    assert_equal [0, 5], Matrix.zeros(0, 5).dup.size
    assert_includes Matrix.private_instance_methods(false), :initialize_copy
    assert_raises(FrozenError) { Matrix.zeros(1, 1).freeze.send(:initialize_copy, m) }
    assert_raises(TypeError) { Matrix.zeros(1, 1).send(:initialize_copy, 5) }
  end

  # Re-initialising a matrix would replace the record under any call that
  # is converting an argument for it.
  def test_initialize_copy_fills_only_an_empty_matrix
    m = Matrix.alloc([1, 2], [3, 4])
    assert_raises_message(TypeError, "already initialized Zanthic::Linalg::Matrix") do
      m.send(:initialize_copy, Matrix.alloc([9]))
    end
    assert_raises(TypeError) { Matrix.zeros(3, 0).send(:initialize_copy, m) }
    index = Object.new
    index.define_singleton_method(:to_int) { m.send(:initialize_copy, Matrix.alloc([9])) && 1 }
    assert_raises(TypeError) { m[index, 1] }
    assert_raises(TypeError) { m[0, 0] = numeric_doing { m.send(:initialize_copy, Matrix.alloc([9])) } }
    assert_equal [[1.0, 2.0], [3.0, 4.0]], m.to_a
    e = Matrix.allocate
    assert_same e, e.send(:initialize_copy, m)
    assert_equal m.to_a, e.to_a
  end

  def payload(m) = Marshal.load(m._dump(0))

  def test_marshal_payloads
    assert_equal [[1.0, 2.0], [3.0, 4.0]], payload(Matrix.alloc([1, 2], [3, 4]))
    assert_equal [[], []], payload(Matrix.zeros(2, 0))
    assert_equal [[1.5]], payload(Matrix.alloc([1.5]))
    # A matrix without rows is written as its column count.
    assert_equal 3, payload(Matrix.zeros(0, 3))
    assert_equal 0, payload(Matrix.new)
    assert_equal Matrix.alloc([1])._dump(0), Matrix.alloc([1])._dump(7)
  end

  def test_marshal_round_trips_keep_shape_values_and_class
    [Matrix.alloc([1, 2, 3]), Matrix.zeros(3, 0), Matrix.alloc([]), Matrix.zeros(0, 3), Matrix.new,
     Matrix.alloc([1, 2], [3, 4])].each do |m|
      back = Marshal.load(Marshal.dump(m))
      assert_instance_of Matrix, back
      assert_equal m.size, back.size
      assert_equal m.to_a, back.to_a
    end
    special = [Float::NAN, Float::INFINITY, -Float::INFINITY, -0.0, 0.0, 5e-324, Float::MAX]
    back = Marshal.load(Marshal.dump(SubMatrix.alloc(special)))
    assert_instance_of SubMatrix, back
    assert_bits_equal special, back.to_a
    assert_instance_of SubMatrix, Marshal.load(Marshal.dump(SubMatrix.zeros(0, 2)))
  end

  def test_marshal_pair_calls_alloc_and_to_a_directly
    redefined = Class.new(Matrix) do
      def self.alloc(*) = raise("redefined alloc consulted")
      def to_a = raise("redefined to_a consulted")
    end
    m = redefined.diag([1, 2])
    back = redefined._load(m._dump(0))
    assert_instance_of redefined, back
    assert_equal [[1.0, 0.0], [0.0, 2.0]], ZanthicConsumer.read_matrix(back)[0]
  end

  def test_load_of_hand_made_payloads
    assert_equal [[1.0, 2.0], [3.0, 4.0]], Matrix._load(Marshal.dump([[1, 2], [3, 4]])).to_a
    assert_equal [[1.0, 2.0], [3.0, 4.0]], Matrix._load(Marshal.dump([[[1, 2], [3, 4]]])).to_a
    assert_equal [2, 0], Matrix._load(Marshal.dump([[], []])).size
    assert_raises_message(ArgumentError, "Matrix.alloc requires at least one row") { Matrix._load(Marshal.dump([])) }
    assert_raises_message(ArgumentError, "All rows must have the same length") do
      Matrix._load(Marshal.dump([[1.0], [1.0, 2.0]]))
    end
    assert_raises_message(TypeError, "Matrix payload must be an Array of rows, not String") do
      Matrix._load(Marshal.dump("rows"))
    end
    assert_raises(TypeError) { Matrix._load(Marshal.dump({ 1 => 2 })) }
    assert_raises(TypeError) { Matrix._load(Marshal.dump([[1.0, "x"]])) }
    assert_raises(ArgumentError) { Matrix._load(Marshal.dump(-1)) }
    assert_raises(TypeError) { Matrix._load("not a marshal stream") }
  end
end
