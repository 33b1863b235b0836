# frozen_string_literal: true

require "tempfile"
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
                 col: 0, :* => 1, _dump: 1, :- => 1, inspect: 0, encode_with: 1, init_with: 1 }],
    Matrix => [{ alloc: -1, diag: 1, diagonal: 1, _load: 1, extend_column: 2, vstack: 2, zeros: 2 },
               { size: 0, row_size: 0, column_size: 0, :[] => 2, :[]= => 3, trans: 0, transpose: 0, column: 1, row: 1,
                 to_a: 0, :* => 1, _dump: 1, SV_decomp: -1, svd: -1, batch_project: 1, incremental_svd_update: 4,
                 inspect: 0, encode_with: 1, init_with: 1 }],
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

  # The same computations in the main process and in two Ractors at once,
  # in a child process so that no Ractor outlives this test; every kernel
  # family, blocks, Marshal, inspect and a raising call.
  RACTOR_WORK = <<~RUBY
    def work(seed)
      l = Zanthic::Linalg
      rng = Random.new(seed)
      a = l::Matrix.alloc(Array.new(60) { Array.new(40) { rng.rand - 0.5 } })
      x = l::Vector.alloc(Array.new(40) { rng.rand })
      u, v, s = a.svd
      basis, values = u.incremental_svd_update(s, l::Vector.alloc(Array.new(60) { rng.rand }), 30, 1e-9)
      error = begin; x * l::Vector.alloc(1); rescue ArgumentError => e; e.message; end
      [x.normalize.to_a, x * x, x.sum, (a * a.trans).to_a, (a * x).to_a, s.to_a, v.to_a, basis.to_a, values.to_a,
       basis.batch_project([u.column(0), u.column(1)]).map(&:to_a), x.map { |e| e * 2 }.select(&:positive?).size,
       Marshal.load(Marshal.dump(a)).to_a, a.inspect, (x - x.col).to_a, error]
    end
  RUBY

  def test_usable_inside_ractors
    script = <<~RUBY
      Warning[:experimental] = false
      require "zanthic_ext"
      #{RACTOR_WORK}
      ractors = [1, 2].map { |seed| Ractor.new(seed) { |s| work(s) } }
      print Marshal.dump([ractors.map(&:take), [work(1), work(2)]])
    RUBY
    # Only stdout carries the results: a sanitizer build may print warnings.
    # (No reader threads as in Open3: a thread's exit can abort the
    # sanitizer build's process.)
    out = Tempfile.create("ractor") do |err|
      result = IO.popen([RbConfig.ruby, *child_load_path, "-e", script], "rb", err: err.path, &:read)
      assert $?.success?, File.read(err.path)
      result
    end
    in_ractors, in_main = Marshal.load(out)
    assert_equal Marshal.dump(in_main), Marshal.dump(in_ractors)
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

  # ---- kernel variants -------------------------------------------------------

  # Sixteen elements whose sum depends on how the partial sums are grouped:
  # the portable kernel adds lanes i mod 4 in sequence (1e16 + 1 - 1e16 + 1),
  # AVX2 pairs registers before adding them ((1e16 + 1) + (-1e16 + 1)),
  # AVX-512 folds lanes i mod 8 (1e16 - 1e16 and 1 + 1).
  ORDER_PROBE = [1e16, 0, 0, 0, 1, 0, 0, 0, -1e16, 0, 0, 0, 1, 0, 0, 0].freeze
  PROBE_SUMS = { "portable" => 1.0, "avx2" => 0.0, "avx512" => 2.0 }.freeze

  def test_the_kernels_in_use_are_the_named_variant
    assert_equal PROBE_SUMS.fetch(Zanthic::Linalg::ISA), Vector.alloc(ORDER_PROBE).sum
  end

  # ZANTHIC_ISA forces each variant the processor runs (empty means the
  # widest); one it cannot run, or an unknown name, makes require raise.
  def test_forced_variants_and_refusals
    flags = File.read("/proc/cpuinfo")[/^flags\s*:(.*)$/, 1].to_s.split
    x86 = RbConfig::CONFIG["host_cpu"] == "x86_64"
    runs = { "portable" => true, "avx2" => x86 && (%w[avx2 fma] - flags).empty?,
             "avx512" => x86 && (%w[avx512f avx2 fma] - flags).empty? }
    widest = runs.keys.select { |name| runs[name] }.last
    runs.each do |name, ok|
      out = load_with_isa(name)
      if ok
        assert_equal "#{name} #{PROBE_SUMS[name]}", out
      else
        assert_match(/\ALoadError: ZANTHIC_ISA=#{name}: this (processor lacks|build has only)/, out)
      end
    end
    assert_equal "#{widest} #{PROBE_SUMS[widest]}", load_with_isa("")
    assert_equal "LoadError: ZANTHIC_ISA=avx: unknown kernel variant (choose portable, avx2 or avx512)",
                 load_with_isa("avx")
  end

  private

  def load_with_isa(isa)
    script = <<~RUBY
      begin
        require "zanthic_ext"
        print Zanthic::Linalg::ISA, " ", Zanthic::Linalg::Vector.alloc(#{ORDER_PROBE.inspect}).sum
      rescue LoadError => e
        print "LoadError: ", e.message
      end
    RUBY
    IO.popen({ "ZANTHIC_ISA" => isa }, [RbConfig.ruby, *child_load_path, "-e", script], err: %i[child out], &:read)
  end
end
