# frozen_string_literal: true

require "test_helper"

# The library's surface after require: module path, classes, registrations,
# and the native interface that other extensions link against.
class TestLoading < Minitest::Test
  def test_module_and_class_structure
    assert_kind_of Module, Zanthic
    assert_instance_of Module, Zanthic::Linalg
    assert_equal [Vector, Enumerable, Object], Vector.ancestors.take(3)
    assert_equal [Matrix, Object], Matrix.ancestors.take(2)
    assert_equal Object, Vector.superclass
    assert_equal Object, Matrix.superclass
  end

  def test_globals_published_to_native_code
    assert_equal [Zanthic::Linalg, Vector, Matrix], ZanthicConsumer.globals
  end

  # What a dependent extension builds against: the public header alone in
  # its directory, declaring the binary interface the loaded library reports.
  def test_include_dir_holds_only_the_public_header
    dir = Zanthic::Linalg.include_dir
    assert_equal ["zanthic_ext.h"], Dir.children(dir)
    abi = File.read(File.join(dir, "zanthic_ext.h"))[/^#define ZANTHIC_EXT_ABI_VERSION (\d+)$/, 1]
    assert_equal Zanthic::Linalg::ABI_VERSION, Integer(abi)
    assert_match(/\A\d+\.\d+\.\d+\z/, Zanthic::Linalg::VERSION)
  end

  def test_second_require_is_a_no_op
    refute require("zanthic_ext")
  end

  def test_vector_minus_exists_after_loading
    assert Vector.public_method_defined?(:-)
    assert_equal 1, Vector.instance_method(:-).arity
  end

  # The whole Ruby-visible surface with arities. Aliases share their
  # target's definition; diagonal is diag's function registered under a
  # second name, not an alias.
  SURFACE = {
    Vector => [{ alloc: 1, _load: 1 },
               { size: 0, :[] => 1, :[]= => 2, to_a: 0, sum: 0, each: 0, collect: 0, map: 0, normalize: 0, row: 0,
                 col: 0, :* => 1, _dump: 1, :- => 1 }],
    Matrix => [{ alloc: -1, diag: 1, diagonal: 1, _load: 1, extend_column: 2, vstack: 2, zeros: 2 },
               { size: 0, row_size: 0, column_size: 0, :[] => 2, :[]= => 3, trans: 0, transpose: 0, column: 1, row: 1,
                 to_a: 0, :* => 1, _dump: 1, SV_decomp: -1, svd: -1, batch_project: 1, incremental_svd_update: 4 }],
  }.freeze
  LATER = %i[batch_project incremental_svd_update].freeze

  def test_registered_methods
    SURFACE.each do |klass, (singleton, instance)|
      assert_equal singleton.keys.sort, klass.singleton_methods(false).sort
      assert_empty klass.public_instance_methods(false) - instance.keys
      assert_empty instance.keys - LATER - klass.public_instance_methods(false)
      singleton.each { |name, arity| assert_equal arity, klass.method(name).arity, "#{klass}.#{name}" }
      instance.each do |name, arity|
        assert_equal arity, klass.instance_method(name).arity, "#{klass}##{name}" if klass.method_defined?(name)
      end
      assert_equal [:initialize_copy], klass.private_instance_methods(false)
    end
    assert_equal :collect, Vector.instance_method(:map).original_name
    assert_equal :trans, Matrix.instance_method(:transpose).original_name
    assert_equal :SV_decomp, Matrix.instance_method(:svd).original_name
    assert_equal :diagonal, Matrix.method(:diagonal).original_name
  end

  def test_allocate_functions_give_empty_records
    assert_equal 0, Vector.allocate.size
    assert_equal 0, Vector.new.size
  end

  NATIVE_INTERFACE = %w[
    Init_zanthic_ext Init_vector Init_matrix Init_svd Init_incremental_svd
    cvector_type cmatrix_type cvector_alloc cvector_free cmatrix_alloc cmatrix_free
    cvector_magnitude cvector_normalize cvector_sum cvector_dot cvector_subtract
    cmatrix_diagonal cmatrix_transpose cmatrix_multiply cmatrix_multiply_vector
    cmatrix_extend_column cmatrix_vstack jacobi_svd cbatch_project
    mZanthicLinalg cZanthicVector cZanthicMatrix
  ].freeze

  def test_exports_only_the_native_interface
    so = $LOADED_FEATURES.find { |f| f.end_with?("/zanthic_ext.so") }
    refute_nil so
    out = `nm -D --defined-only #{so}`
    assert $?.success?, "nm failed"
    exported = out.lines.map { |l| l.split.last }.reject { |s| %w[_init _fini __bss_start _edata _end].include?(s) }
    # AddressSanitizer adds one-definition-rule markers for exported globals.
    exported.reject! { |s| s.start_with?("__odr_asan.") } if ENV["ZANTHIC_VARIANT"] == "asan"
    assert_equal NATIVE_INTERFACE.sort, exported.sort.uniq
  end
end
