# frozen_string_literal: true

require "test_helper"
require "yaml"

# inspect, and YAML dumping and loading of both classes.
class TestInspectYaml < Minitest::Test
  class SubVector < Vector; end
  class SubMatrix < Matrix; end

  SPECIAL = [-0.0, 0.0, Float::NAN, Float::INFINITY, -Float::INFINITY, Float::MAX, 5e-324, 2.2250738585072014e-308].freeze

  def yaml_round_trip(obj) = YAML.unsafe_load(YAML.dump(obj))

  # Doubles of every magnitude and sign, with the special values mixed in.
  def random_doubles(rng, n)
    Array.new(n) { rng.rand < 0.2 ? SPECIAL.sample(random: rng) : (rng.rand - 0.5) * 10.0**rng.rand(-310..308) }
  end

  def test_inspect_shows_class_orientation_and_leading_elements
    assert_equal "#<Zanthic::Linalg::Vector row [1.0, -0.0, NaN]>", Vector.alloc([1, -0.0, Float::NAN]).inspect
    assert_equal "#<Zanthic::Linalg::Vector column []>", Vector.alloc(0).col.inspect
    assert_equal "#<#{SubVector.name} row [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, ... (100000 elements)]>",
                 SubVector.alloc((0...100_000).to_a).inspect
    assert_equal "#<Zanthic::Linalg::Matrix 2x2 [[1.0, 2.0], [3.0, 4.0]]>", Matrix.alloc([1, 2], [3, 4]).inspect
    assert_equal "#<Zanthic::Linalg::Matrix 0x3 []>", Matrix.zeros(0, 3).inspect
    row = ->(i) { "[#{(0..7).map { |j| (10.0 * i) + j }.join(', ')}, ...]" }
    assert_equal "#<#{SubMatrix.name} 5x9 [#{(0..3).map(&row).join(', ')}, ...]>",
                 SubMatrix.alloc(Array.new(5) { |i| Array.new(9) { |j| (10 * i) + j } }).inspect
  end

  def test_round_trips_are_exact_for_every_shape_orientation_and_class
    rng = Random.new(20_261_209)
    60.times do |t|
      n = rng.rand(0..12)
      v = [Vector, SubVector][t % 2].alloc(random_doubles(rng, n))
      v = v.col if t.odd?
      back = yaml_round_trip(v)
      assert_instance_of v.class, back
      assert_bits_equal v.to_a, back.to_a
      assert_equal record(v)[1], record(back)[1]

      r = rng.rand(0..4)
      c = rng.rand(0..4)
      m = [Matrix, SubMatrix][t % 2].zeros(r, c)
      r.times { |i| random_doubles(rng, c).each_with_index { |x, j| m[i, j] = x } }
      back = yaml_round_trip(m)
      assert_instance_of m.class, back
      assert_equal m.size, back.size
      assert_bits_equal m.to_a, back.to_a
    end
    with_gc_stress do
      [Vector.alloc([1, -0.0]).col, SubMatrix.alloc([1, 2], [3, Float::NAN])].each do |obj|
        assert_equal obj.inspect, yaml_round_trip(obj).inspect
      end
    end
    shared = Vector.alloc([1])
    back = yaml_round_trip([shared, shared, Matrix.zeros(0, 0)])
    assert_same back[0], back[1]
    assert_equal [0, 0], back[2].size
  end

  def test_dump_refuses_anonymous_classes_and_permitted_safe_loads_work
    [Class.new(Vector).alloc([1]), Class.new(Matrix).zeros(1, 1)].each { |obj| assert_raises(TypeError) { YAML.dump(obj) } }
    assert_equal [[1.0]], YAML.safe_load(YAML.dump(Matrix.alloc([1])), permitted_classes: [Matrix]).to_a
  end

  def vector_yaml(fields) = "--- !ruby/object:Zanthic::Linalg::Vector\n#{fields}"
  def matrix_yaml(fields) = "--- !ruby/object:Zanthic::Linalg::Matrix\n#{fields}"

  def test_malformed_documents_raise_and_fill_nothing
    {
      vector_yaml("orientation: row\n") => TypeError,
      vector_yaml("orientation: sideways\nelements: [1]\n") => ArgumentError,
      vector_yaml("orientation: row\nelements: [1, two]\n") => TypeError,
      matrix_yaml("rows: 1\ncolumns: 2\nelements: [[1]]\n") => ArgumentError,
      matrix_yaml("rows: -1\ncolumns: 1\nelements: []\n") => ArgumentError,
      matrix_yaml("rows: 1\ncolumns: 1\nelements: [[x]]\n") => TypeError,
    }.each do |doc, error|
      assert_raises(error, doc) { YAML.unsafe_load(doc) }
    end
    v = Vector.allocate
    assert_raises(TypeError) { v.init_with(vector_coder([1, nil])) }
    assert_equal [[], 0], record(v)
  end

  def self.coder(**fields) = Psych::Coder.new("x").tap { |c| fields.each { |k, v| c[k.to_s] = v } }
  def vector_coder(elements) = self.class.coder(orientation: "row", elements: elements)
  def matrix_coder(rows, cols) = self.class.coder(rows: rows, columns: cols, elements: Array.new(rows) { [1.0] * cols })

  # init_with fills only an empty object, also when element conversions run
  # Ruby code that fills or freezes it first; a populated one keeps its
  # record.
  def test_init_with_fills_only_an_empty_unfrozen_object
    v = Vector.alloc([1, 2])
    assert_raises_message(TypeError, "already initialized Zanthic::Linalg::Vector") { v.init_with(vector_coder([3])) }
    m = Matrix.zeros(0, 2)
    assert_raises(TypeError) { m.init_with(matrix_coder(1, 1)) }
    assert_equal [0, 2], m.size

    target = Vector.allocate
    sneaky = Class.new(Numeric) { define_method(:to_f) { target.init_with(TestInspectYaml.coder(orientation: "row", elements: [7.0, 8.0])) && 1.0 } }
    assert_raises(TypeError) { target.init_with(vector_coder([sneaky.new])) }
    assert_equal [[7.0, 8.0], 0], record(target)

    target = Matrix.allocate
    freezer = Class.new(Numeric) { define_method(:to_f) { target.freeze && 1.0 } }
    coder = matrix_coder(1, 2).tap { |c| c["elements"] = [[freezer.new, 2]] }
    assert_raises(FrozenError) { target.init_with(coder) }
    assert_equal [0, 0], target.size

    shrinker = Class.new(Numeric) { define_method(:to_f) { coder["elements"].clear && 1.0 } }
    coder = matrix_coder(2, 1).tap { |c| c["elements"] = [[shrinker.new], [2]] }
    assert_raises(ArgumentError) { Matrix.allocate.init_with(coder) }
  end
end
