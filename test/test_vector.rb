# frozen_string_literal: true

require "test_helper"

# Vector construction, element access, iteration, mapping, orientation copies
# and dup/clone.
class TestVector < Minitest::Test
  class SubVector < Vector; end

  # [elements, is_col] as the record holds them.
  def test_alloc_from_count_and_array
    assert_equal [[0.0, 0.0, 0.0], 0], record(Vector.alloc(3))
    assert_equal 0, Vector.alloc(0).size
    assert_equal 0, Vector.alloc([]).size
    assert_equal [1.0, 2.5, 0.5], Vector.alloc([1, 2.5, 1r / 2]).to_a
    assert_equal 2, Vector.alloc(2.9).size
    # An Array subclass is an Array; an object that merely converts is not.
    assert_equal [1.0, 2.0], Vector.alloc(Class.new(Array).new([1, 2])).to_a
    convertible = Object.new
    def convertible.to_ary = [1.0]
    assert_raises(TypeError) { Vector.alloc(convertible) }
  end

  def test_alloc_failures
    assert_raises(ArgumentError) { Vector.alloc(-1) }
    assert_raises(ArgumentError) { Vector.alloc(2**61) }
    assert_raises(TypeError) { Vector.alloc(nil) }
    assert_raises(TypeError) { Vector.alloc("3") }
    assert_raises(TypeError) { Vector.alloc([1, "x"]) }
    assert_raises(TypeError) { Vector.alloc([[1]]) }
    assert_raises(ArgumentError) { Vector.alloc }
    assert_raises(ArgumentError) { Vector.alloc(1, 2) }
  end

  # A failed alloc leaves its object, without a record, to the GC; found
  # through ObjectSpace before it is collected, it is refused, not read.
  def test_objects_left_by_failed_allocs_are_refused
    GC.disable
    assert_raises(ArgumentError) { SubVector.alloc(2**61) }
    left = ObjectSpace.each_object(SubVector).reject { |v| v.size rescue false }
    refute_empty left
    left.each do |v|
      assert_raises_message(TypeError, "uninitialized TestVector::SubVector") { v.to_a }
      assert_raises(TypeError) { Vector.alloc([1]) * v }
      assert_raises(TypeError) { v.send(:initialize_copy, Vector.alloc([1])) }
    end
  ensure
    GC.enable
  end

  def test_alloc_reads_entries_as_it_goes
    ary = [1.0, nil, 3.0]
    shrinker = Object.new
    shrinker.define_singleton_method(:to_f) { ary.pop(2) && 2.0 }
    ary[1] = shrinker
    # The length is read once; the entry past the new end is nil.
    assert_match(/nil/, assert_raises(TypeError) { Vector.alloc(ary) }.message)
  end

  def test_constructors_keep_the_subclass_and_other_results_do_not
    v = SubVector.alloc([1, 2])
    assert_instance_of SubVector, v
    assert_instance_of SubVector, SubVector.alloc(2)
    %i[row col normalize].each { |m| assert_instance_of Vector, v.public_send(m), m }
    assert_instance_of Vector, v.collect { |x| x }
    assert_instance_of Vector, v.map { |x| x }
    assert_instance_of Vector, v * 2
  end

  def test_indexing
    v = Vector.alloc([10, 20, 30])
    assert_equal 30.0, v[-1]
    assert_equal 10.0, v[-3]
    assert_equal 20.0, v[1.9]
    assert_raises_message(IndexError, "index 3 out of bounds") { v[3] }
    assert_raises_message(IndexError, "index -1 out of bounds") { v[-4] }
    assert_raises_message(IndexError, "index -2 out of bounds") { v[-5] }
    assert_raises_message(IndexError, "index 0 out of bounds") { Vector.alloc(0)[0] }
    assert_raises_message(IndexError, "index -1 out of bounds") { Vector.alloc(0)[-1] }
    assert_raises(TypeError) { v["1"] }
  end

  def test_element_assignment
    v = Vector.alloc(3)
    assert_same 7, (v[0] = 7)
    assert_equal 7.0, v[0]
    v[-1] = 2.5
    assert_equal [7.0, 0.0, 2.5], v.to_a
    # The index is checked before the value is converted.
    assert_raises(IndexError) { v[5] = "x" }
    assert_raises(TypeError) { v[1] = "x" }
    assert_equal [7.0, 0.0, 2.5], v.to_a
  end

  def test_frozen_vector_is_never_written
    v = Vector.alloc([1, 2]).freeze
    assert_raises(FrozenError) { v[0] = 5 }
    # Refused before the index or the value is looked at.
    assert_raises(FrozenError) { v[9] = "x" }
    assert_equal [1.0, 2.0], v.to_a
    # A conversion that freezes the receiver stops the store too.
    w = Vector.alloc([1, 2])
    sneaky = Object.new
    sneaky.define_singleton_method(:to_f) { w.freeze && 9.0 }
    assert_raises(FrozenError) { w[0] = sneaky }
    assert_equal [1.0, 2.0], w.to_a
  end

  def test_to_a_and_each
    v = Vector.alloc([1, 2])
    refute_same v.to_a, v.to_a
    seen = []
    assert_same v, v.each { |x| seen << x }
    assert_equal [1.0, 2.0], seen
    assert seen.all?(Float)
    e = v.each
    assert_instance_of Enumerator, e
    assert_nil e.size
    assert_equal [1.0, 2.0], e.to_a
    empty = Vector.alloc(0)
    assert_same empty, empty.each { flunk "yielded" }
    assert_equal [], empty.to_a
  end

  def test_each_and_collect_read_elements_when_reached
    v = Vector.alloc([1, 2, 3])
    seen = []
    v.each_with_index { |x, i| seen << x; v[i + 1] = 10 * x if i < 2 }
    assert_equal [1.0, 10.0, 100.0], seen
    w = Vector.alloc([1, 2, 3])
    i = -1
    out = w.collect { |x| i += 1; w[i + 1] = x + 5 if i < 2; x }
    assert_equal [1.0, 6.0, 11.0], out.to_a
  end

  def test_collect
    v = Vector.alloc([1, 2, 3]).col
    out = v.map { |x| x * 2 }
    assert_equal [[2.0, 4.0, 6.0], 1], record(out)
    assert_equal [[2.0, 4.0, 6.0], 0], record(out.row)
    assert_equal [1.0, 2.0, 3.0], v.to_a
    assert_raises(TypeError) { v.collect { nil } }
    assert_equal 0, Vector.alloc(0).collect { flunk "called" }.size
  end

  def test_collect_and_map_without_a_block
    v = Vector.alloc([1, 2])
    [v.collect, v.map].each do |e|
      assert_instance_of Enumerator, e
      assert_nil e.size
      assert_match(/:collect>\z/, e.inspect)
      # The Enumerator runs collect, so a block gives a Vector.
      r = e.with_index { |x, i| x + i }
      assert_instance_of Vector, r
      assert_equal [1.0, 3.0], r.to_a
    end
    assert_equal :collect, Vector.instance_method(:map).original_name
  end

  def test_enumerable
    v = Vector.alloc([3, 1, 2])
    assert_equal [3.0, 2.0], v.select { |x| x > 1 }
    assert_equal 3.0, v.max
    assert v.include?(2.0)
    assert_equal 6.0, v.inject(:+)
  end

  def test_row_and_col_copy
    v = Vector.alloc([1, 2])
    c = v.col
    assert_equal [[1.0, 2.0], 1], record(c)
    assert_equal [[1.0, 2.0], 0], record(c.row)
    assert_equal 1, record(c)[1]
    c[0] = 9
    assert_equal [1.0, 2.0], v.to_a
  end

  def test_dup_and_clone_copy
    v = SubVector._load(Vector.alloc([1, 2, 3]).col._dump(0))
    [v.dup, v.clone].each do |c|
      assert_instance_of SubVector, c
      assert_equal [[1.0, 2.0, 3.0], 1], record(c)
      c[0] = 42
      assert_equal 1.0, v[0]
    end
    assert_equal 0, Vector.alloc(0).dup.size
    frozen = Vector.alloc([1]).freeze
    assert frozen.clone.frozen?
    refute frozen.dup.frozen?
    assert_equal [1.0], frozen.clone.to_a
  end

  def test_initialize_copy_guards
    assert Vector.private_method_defined?(:initialize_copy)
    v = Vector.alloc([1, 2])
    assert_same v, v.send(:initialize_copy, v)
    assert_raises(TypeError) { Vector.allocate.send(:initialize_copy, Matrix.allocate) }
    assert_raises(TypeError) { Vector.allocate.send(:initialize_copy, [1.0]) }
    assert_raises(FrozenError) { Vector.allocate.freeze.send(:initialize_copy, v) }
    # A vector that has elements keeps them.
    assert_raises_message(TypeError, "already initialized Zanthic::Linalg::Vector") do
      v.send(:initialize_copy, Vector.alloc([7]))
    end
    assert_equal [1.0, 2.0], v.to_a
    e = Vector.allocate
    e.send(:initialize_copy, v)
    assert_equal [1.0, 2.0], e.to_a
  end
end
