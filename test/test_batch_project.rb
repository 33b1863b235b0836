# frozen_string_literal: true

require "fileutils"
require "test_helper"

# Matrix#batch_project and the exported cbatch_project.
class TestBatchProject < Minitest::Test
  # Resident memory says nothing under AddressSanitizer, which keeps freed
  # blocks in quarantine; leaks are the normal build's and valgrind's business.
  def skip_under_sanitizer
    skip "resident memory is not measured under AddressSanitizer" if ENV["ZANTHIC_VARIANT"] == "asan"
  end

  SIZE_ERROR = "Vector %d size (%d) must match matrix rows (%d)"

  def setup
    @m = Matrix.alloc([1, 2], [3, 4], [5, 6])
  end

  # basis^T * v the slow way, from the nested Arrays.
  def reference(rows, v)
    cols = rows.first ? rows.first.size : 0
    (0...cols).map { |j| rows.each_with_index.sum(0.0) { |row, r| row[j] * v[r] } }
  end

  def random_rows(rng, m, k) = Array.new(m) { Array.new(k) { rng.rand - 0.5 } }

  def test_worked_example
    out = @m.batch_project([vec(1, 1, 1), vec(1, 0, 0)])
    assert_instance_of Array, out
    assert_equal [[9.0, 12.0], [1.0, 2.0]], out.map(&:to_a)
    out.each do |v|
      assert_instance_of Vector, v
      assert_equal [0], [ZanthicConsumer.read_vector(v)[1]]
    end
  end

  def test_empty_array_gives_a_new_empty_array_for_any_receiver
    arg = []
    [Matrix.new, @m, Matrix.zeros(0, 3)].each do |basis|
      out = basis.batch_project(arg)
      assert_equal [], out
      refute_same arg, out
    end
  end

  def test_first_size_mismatch_is_reported
    assert_raises_message(ArgumentError, format(SIZE_ERROR, 1, 2, 3)) do
      @m.batch_project([vec(1, 1, 1), vec(1, 1), vec(1)])
    end
  end

  def test_class_checked_for_every_element_before_any_size
    assert_raises_message(TypeError, "Expected array of Vectors") { @m.batch_project([vec(1, 1), 5]) }
    assert_raises_message(TypeError, "Expected array of Vectors") { @m.batch_project([vec(1, 1, 1), nil]) }
    assert_raises_message(TypeError, "Expected array of Vectors") { @m.batch_project([@m]) }
  end

  def test_argument_must_be_an_array
    [vec(1, 1, 1), nil, 5].each do |arg|
      error = assert_raises(TypeError) { @m.batch_project(arg) }
      refute_equal "Expected array of Vectors", error.message
    end
    assert_raises(TypeError) { Object.new.then { |o| Matrix.instance_method(:batch_project).bind_call(o, []) } }
  end

  def test_degenerate_shapes
    no_cols = Matrix.zeros(3, 0)
    assert_equal [[]], no_cols.batch_project([vec(1, 2, 3)]).map(&:to_a)
    assert_raises_message(ArgumentError, format(SIZE_ERROR, 0, 2, 3)) { no_cols.batch_project([vec(1, 2)]) }
    no_rows = Matrix.zeros(0, 2)
    assert_equal [[0.0, 0.0]], no_rows.batch_project([vec]).map(&:to_a)
    assert_raises_message(ArgumentError, format(SIZE_ERROR, 0, 1, 0)) { no_rows.batch_project([vec(1)]) }
  end

  def test_orientation_and_classes_of_inputs_do_not_matter
    sub_vector = Class.new(Vector)
    sub_matrix = Class.new(Matrix)
    sub_array = Class.new(Array)
    column = vec(1, 1, 1).col
    basis = sub_matrix.alloc([1, 2], [3, 4], [5, 6])
    out = basis.batch_project(sub_array.new([column, sub_vector.alloc([1, 0, 0])]))
    assert_instance_of Array, out
    assert_equal [[9.0, 12.0], [1.0, 2.0]], out.map(&:to_a)
    out.each do |v|
      assert_instance_of Vector, v
      assert_equal 0, ZanthicConsumer.read_vector(v)[1]
    end
  end

  def test_same_input_twice_gives_distinct_results
    v = vec(1, 1, 1)
    a, b = @m.batch_project([v, v])
    refute_same a, b
    assert_equal a.to_a, b.to_a
    a[0] = 100.0
    assert_equal 12.0, b[1]
  end

  def test_receiver_and_inputs_unchanged
    inputs = [vec(1, 2, 3), vec(-1, 0.5, 2)]
    @m.batch_project(inputs)
    assert_equal [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], @m.to_a
    assert_equal [[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0]], inputs.map(&:to_a)
  end

  # Shapes chosen to cross every tile and block boundary of the kernels:
  # column counts around multiples of 4, 8 and 24, input counts around
  # multiples of 4 and 8, and enough rows for several cache chunks.
  def test_matches_reference_on_random_shapes
    rng = Random.new(20_261_209)
    [[5, 1, 1], [7, 3, 5], [33, 8, 9], [17, 23, 4], [40, 25, 17], [9, 49, 3], [700, 100, 11]].each do |m, k, count|
      rows = random_rows(rng, m, k)
      inputs = Array.new(count) { Array.new(m) { rng.rand * 4 - 2 } }
      out = Matrix.alloc(*rows).batch_project(inputs.map { |a| Vector.alloc(a) })
      inputs.each_with_index do |a, i|
        assert_close reference(rows, a), out[i].to_a, 1e-12, "#{m}x#{k} input #{i}"
      end
    end
  end

  def test_special_values_propagate_as_in_the_sums
    out = Matrix.alloc([1, 0], [0, 1]).batch_project([vec(Float::NAN, 1), vec(Float::INFINITY, 2)])
    assert out[0].to_a.all?(&:nan?) # NaN * 0 enters both sums
    assert_equal Float::INFINITY, out[1][0]
    assert out[1][1].nan?
  end

  # Every row-combination kernel variant the processor supports, not only
  # the one the dispatcher picks, checked by a small program built from the
  # kernels' unit with the sanitizers on.
  def test_every_kernel_variant
    assert_match(/\Aok portable/, run_kernel_check("row_accumulate_check"))
  end

  def test_native_consumer_projects
    out = ZanthicConsumer.batch_project([[1, 2], [3, 4], [5, 6]], 2, [[1, 1, 1], [1, 0, 0]])
    assert_equal [[[9.0, 12.0], 0], [[1.0, 2.0], 0]], out
    assert_equal [], ZanthicConsumer.batch_project([[1, 2]], 2, [])
  end

  def test_native_size_error_releases_everything
    call = -> { ZanthicConsumer.batch_project([[1, 2], [3, 4], [5, 6]], 2, [[1, 1, 1], [1, 1, 1], [1, 1]]) }
    assert_raises_message(ArgumentError, format(SIZE_ERROR, 2, 2, 3)) { call.() }
    skip_under_sanitizer
    assert_memory_flat(iterations: 20_000, &call)
  end

  def test_failing_calls_leave_memory_flat
    skip_under_sanitizer
    inputs = Array.new(20) { vec(*Array.new(3, 1.0)) }
    bad_size = inputs + [vec(1, 2)]
    bad_class = inputs + [:x]
    assert_memory_flat(iterations: 20_000) { @m.batch_project(bad_size) }
    assert_memory_flat(iterations: 20_000) { @m.batch_project(bad_class) }
  end

  def test_successful_calls_leave_memory_flat
    skip_under_sanitizer
    basis = Matrix.zeros(200, 20)
    inputs = Array.new(10) { Vector.alloc(200) }
    assert_memory_flat(iterations: 5000) { basis.batch_project(inputs) }
  end

  # A 0 x 2**61 basis holds no elements, but a result of 2**61 values cannot
  # be allocated: the allocator's error comes out of the call unchanged.
  def test_allocator_error_propagates_and_releases
    huge = Matrix.zeros(0, 2**61)
    inputs = [vec, vec, vec]
    assert_raises(ArgumentError) { huge.batch_project(inputs) }
    skip_under_sanitizer
    assert_memory_flat(iterations: 20_000) { huge.batch_project(inputs) }
  end

  def test_gc_stress
    rng = Random.new(7)
    rows = random_rows(rng, 12, 5)
    basis = Matrix.alloc(*rows)
    inputs = Array.new(9) { Array.new(12) { rng.rand } }
    out = with_gc_stress { basis.batch_project(inputs.map { |a| Vector.alloc(a) }) }
    compact_heap
    inputs.each_with_index { |a, i| assert_close reference(rows, a), out[i].to_a }
  end
end
