# frozen_string_literal: true

require "test_helper"

# Vector#_dump / Vector._load: the payload format and round trips.
class TestVectorMarshal < Minitest::Test
  class SubVector < Vector; end

  def payload(v, level = -1) = Marshal.load(v._dump(level))
  def load_payload(ary, klass = Vector) = klass._load(Marshal.dump(ary))

  def test_payload_format
    assert_equal [1.0, 2.0, false], payload(Vector.alloc([1, 2]))
    assert_equal [3.5, true], payload(Vector.alloc([3.5]).col)
    assert_equal [false], payload(Vector.alloc(0))
    v = Vector.alloc([1, 2])
    assert_equal v._dump(0), v._dump(5)
  end

  def test_round_trips_keep_values_orientation_and_class
    special = [0.1, -0.0, 0.0, Float::INFINITY, -Float::INFINITY, Float::MAX, 5e-324, Float::NAN]
    [Vector.alloc(special), Vector.alloc(special).col, Vector.alloc(0), Vector.alloc(0).col].each do |v|
      back = Marshal.load(Marshal.dump(v))
      assert_instance_of Vector, back
      assert_bits_equal v.to_a, back.to_a
      assert_equal record(v)[1], record(back)[1]
    end
    sub = SubVector.alloc([1, 2])
    back = Marshal.load(Marshal.dump([sub, sub]))
    assert_instance_of SubVector, back[0]
    assert_same back[0], back[1]
    assert_equal [1.0, 2.0], back[0].to_a
  end

  def test_orientation_follows_truthiness_of_the_last_entry
    assert_equal [[1.0], 1], record(load_payload([1.0, 2.0]))
    assert_equal [[1.0], 0], record(load_payload([1.0, nil]))
    assert_equal [[], 0], record(load_payload([]))
    assert_equal [[1.0, 2.0], 1], record(load_payload([1, 2r, "yes"]))
  end

  def test_load_builds_directly_without_calling_alloc
    klass = Class.new(Vector) { def self.alloc(*) = raise("alloc called") }
    v = klass._load(Vector.alloc([4]).col._dump(0))
    assert_instance_of klass, v
    assert_equal [[4.0], 1], record(v)
  end

  def test_load_failures
    assert_raises(TypeError) { load_payload(["x", true]) }
    assert_raises(TypeError) { load_payload([[1.0], false]) }
    # Anything but an Array is refused, and never read as one.
    [3, "abc", { 1 => 2 }, nil, Vector.alloc(1)].each do |bad|
      assert_raises(TypeError, bad.inspect) { load_payload(bad) }
    end
    assert_raises_message(TypeError, "marshaled Vector data must be an Array, not Hash") { load_payload({}) }
    assert_raises(TypeError) { Vector._load("not a marshal stream") }
    assert_raises(ArgumentError) { Vector._load(Marshal.dump([1.0])[0, 3]) }
  end
end
