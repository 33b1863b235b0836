# frozen_string_literal: true

require "fileutils"
require "test_helper"

class TestSvd < Minitest::Test
  QUARTER_PI = 0.7853981633974483

  def random_rows(rows, cols, seed, scale: 1.0)
    rng = Random.new(seed)
    Array.new(rows) { Array.new(cols) { (rng.rand * 2 - 1) * scale } }
  end

  def integer_rows(rows, cols, seed)
    rng = Random.new(seed)
    Array.new(rows) { Array.new(cols) { rng.rand < 0.4 ? rng.rand(-3..5).to_f : 0.0 } }
  end

  def build(rows, cols = rows.first&.size || 0)
    rows.empty? || cols.zero? ? Matrix.zeros(rows.size, cols) : Matrix.alloc(*rows)
  end

  def decompose(rows, cols = rows.first&.size || 0)
    u, v, s = build(rows, cols).svd
    [u.to_a, v.to_a, s.to_a]
  end

  def dot_columns(m, i, j)
    m.sum { |row| row[i] * row[j] }
  end

  # A = U diag(S) V^T (rows >= cols) or V diag(S) U^T; V orthogonal; U's
  # columns orthonormal where S > 1e-10 and zero elsewhere.
  def assert_decomposition(a, u, v, s, tol)
    r = a.size
    c = a.first.size
    n = [r, c].min
    assert_equal [[r, c].max, n, n], [u.size, v.size, s.size]
    scale = [a.flatten.map(&:abs).max, 1.0].max
    r.times do |i|
      c.times do |j|
        x = (0...n).sum { |k| r >= c ? u[i][k] * s[k] * v[j][k] : v[i][k] * s[k] * u[j][k] }
        assert_in_delta a[i][j], x, tol * scale, "reconstruction at #{i},#{j}"
      end
    end
    n.times do |i|
      n.times { |j| assert_in_delta(i == j ? 1.0 : 0.0, dot_columns(v, i, j), tol, "V^T V at #{i},#{j}") }
      if s[i] > 1e-10
        n.times do |j|
          next unless s[j] > 1e-10

          assert_in_delta(i == j ? 1.0 : 0.0, dot_columns(u, i, j), tol, "U^T U at #{i},#{j}")
        end
      else
        assert(u.all? { |row| row[i].zero? }, "column #{i} of U must be zero for S = #{s[i]}")
      end
    end
  end

  # The decomposition written out literally, with the sweeps continued while
  # W is not diagonal and NaN kept, for comparing bit for bit: on integer
  # matrices the Gram matrix is exact whatever the order of its sums.
  def literal(a)
    r = a.size
    c = a.first.size
    n = [r, c].min
    g = Array.new(n) do |i|
      Array.new(n) { |j| r < c ? (0...c).sum { |k| a[i][k] * a[j][k] } : (0...r).sum { |k| a[k][i] * a[k][j] } }
    end
    w = g.map(&:dup)
    v = Array.new(n) { |i| Array.new(n) { |j| i == j ? 1.0 : 0.0 } }
    p = nil
    sweep = 0
    loop do
      sweep += 1
      (0...n).each do |j|
        (j + 1...n).each do |k|
          d = w[j][j] - w[k][k]
          t = 2.0 * w[j][k]
          theta = d != 0.0 && !d.nan? ? 0.5 * Math.atan(t / d) : (t >= 0.0 ? QUARTER_PI : -QUARTER_PI)
          cs = Math.cos(theta)
          sn = Math.sin(theta)
          n.times { |l| x, y = w[l][j], w[l][k]; w[l][j] = cs * x + sn * y; w[l][k] = cs * y - sn * x } # rubocop:disable Style/ParallelAssignment
          n.times { |l| x, y = w[j][l], w[k][l]; w[j][l] = cs * x + sn * y; w[k][l] = cs * y - sn * x } # rubocop:disable Style/ParallelAssignment
          n.times { |l| x, y = v[l][j], v[l][k]; v[l][j] = cs * x + sn * y; v[l][k] = cs * y - sn * x } # rubocop:disable Style/ParallelAssignment
        end
      end
      if sweep == 1
        p = w.map(&:dup)
        next
      end
      delta = (0...n).map { |j| (w[j][j] - p[j][j]).abs }.select { |x| x > 0.001 }.sum
      p = w.map(&:dup)
      largest = [(0...n).map { |j| w[j][j] }.max || 0.0, 0.0].max
      diagonal = (0...n).all? { |i| (0...n).all? { |j| i == j || !(w[i][j].abs > 1e-12 * largest) } }
      break if sweep == 20 || (delta <= 0.001 && diagonal)
    end
    s = (0...n).map { |j| w[j][j] > 0 ? Math.sqrt(w[j][j]) : (w[j][j].nan? ? w[j][j] : 0.0) }
    [v, s, sweep]
  end

  # ---- exact results -------------------------------------------------------

  def test_one_by_one
    u, v, s = decompose([[-4.0]])
    assert_equal [[[-1.0]], [[1.0]], [4.0]], [u, v, s]
    assert_equal [[[0.0]], [[1.0]], [0.0]], decompose([[0.0]])
  end

  def test_diagonal_values_come_unsorted
    u, v, s = decompose([[1.0, 0.0], [0.0, 3.0]])
    assert_equal [1.0, 3.0], s
    assert_equal [[1.0, 0.0], [0.0, 1.0]], u
    assert_equal [[1.0, 0.0], [0.0, 1.0]], v
  end

  # Equal diagonal entries and a zero off-diagonal turn by +pi/4 on each of
  # the two sweeps: a quarter turn. Fused multiply-adds would flip the sign
  # of the residues and with it the second angle.
  def test_identity_gives_the_quarter_turn
    u, v, s = decompose([[1.0, 0.0], [0.0, 1.0]])
    assert_close [1.0, 1.0], s, 1e-15
    [u, v].each do |m|
      assert_close [[0.0, -1.0], [1.0, 0.0]], m, 1e-15
      assert_operator m[0][1], :<, 0
      assert_operator m[1][0], :>, 0
    end
  end

  def test_zero_matrix
    u, v, s = decompose(Array.new(3) { [0.0] * 4 })
    assert_equal [0.0] * 3, s
    assert(u.flatten.all?(&:zero?))
    assert_decomposition(Array.new(3) { [0.0] * 4 }, u, v, s, 1e-14)
  end

  def test_single_row_and_single_column
    a = [3.0, 0.0, 4.0]
    [[a], a.map { |x| [x] }].each do |rows|
      u, v, s = decompose(rows)
      assert_close [5.0], s, 1e-15
      assert_equal [[1.0]], v
      assert_close [[0.6], [0.0], [0.8]], u, 1e-15
    end
  end

  def test_wide_input_returns_right_vectors_in_u
    a = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    u, v, s = decompose(a)
    assert_equal [3, 2], [u.size, u.first.size]
    assert_equal [2, 2], [v.size, v.first.size]
    assert_decomposition(a, u, v, s, 1e-12)
  end

  # ---- shapes --------------------------------------------------------------

  def test_zero_extents
    [[0, 3, 3], [3, 0, 3], [0, 0, 0]].each do |rows, cols, u_rows|
      u, v, s = Matrix.zeros(rows, cols).svd
      assert_equal [u_rows, 0], [u.row_size, u.column_size]
      assert_equal [0, 0], [v.row_size, v.column_size]
      assert_equal [], s.to_a
    end
    assert_equal [[], [], []], Matrix.new.svd.map(&:to_a)
  end

  def test_invariants_on_random_shapes
    [[7, 3], [3, 7], [6, 6], [1, 9], [9, 1], [17, 9], [9, 17], [24, 24], [40, 12]].each_with_index do |(r, c), seed|
      a = random_rows(r, c, seed)
      assert_decomposition(a, *decompose(a), 1e-10)
    end
  end

  # Zero columns keep their Gram entries exactly zero, so their singular
  # values are 0 and their columns of U all zero, wherever they sit.
  def test_rank_deficient_input_leaves_zero_columns
    a = random_rows(12, 7, 5).map { |row| row.each_with_index.map { |x, j| [1, 4].include?(j) ? 0.0 : x } }
    [a, a.transpose].each do |m|
      u, v, s = decompose(m)
      assert_equal [0.0, 0.0], s.select { |x| x <= 1e-10 }
      assert_decomposition(m, u, v, s, 1e-10)
    end
  end

  # Below order 24 every rotation, angle and stopping decision is the plain
  # procedure's: V, S and the sweep count's effect agree bit for bit on
  # sizes that cover whole and partial blocks of the vectorised sweep.
  def test_matches_the_literal_procedure_bit_for_bit
    [[2, 2], [3, 5], [8, 8], [9, 9], [12, 7], [7, 16], [17, 17], [23, 20]].each_with_index do |(r, c), seed|
      a = integer_rows(r, c, seed + 10)
      _, v, s = decompose(a)
      lv, ls, = literal(a)
      assert_bits_equal ls, s, "S of #{r}x#{c}"
      assert_bits_equal lv, v, "V of #{r}x#{c}"
    end
  end

  # From order 24 on W is kept symmetric and the angles come from their
  # tangent: the plain procedure's rotations, rounded differently. With
  # well separated values S and V agree with it to rounding.
  def test_orders_from_24_agree_with_the_literal_procedure_to_rounding
    [[30, 24], [25, 41], [70, 33]].each_with_index do |(r, c), seed|
      a = gaussian_rows(r, c, seed + 30)
      _, v, s = decompose(a)
      lv, ls, = literal(a)
      assert_close ls, s, 1e-12, "S of #{r}x#{c}"
      assert_close lv, v, 1e-12, "V of #{r}x#{c}"
    end
  end

  # Orders above 256 rotate V in a separate pass after each sweep; checked
  # with the library's own products, as Ruby loops would be slow.
  def test_large_order_keeps_the_invariants
    a = Matrix.alloc(*random_rows(300, 270, 9))
    u, v, s = a.svd
    n = 270
    identity = Matrix.diag(Vector.alloc([1.0] * n))
    assert_close identity.to_a, (v.trans * v).to_a, 1e-12
    assert_close identity.to_a, (u.trans * u).to_a, 1e-9
    assert_close a.to_a, (u * Matrix.diag(s) * v.trans).to_a, 1e-12
  end

  # The sweep in every instruction-set variant the processor runs, not only
  # the one picked at run time, against the plain procedure bit for bit,
  # including orders above 256 where V is rotated after each sweep, and the
  # sweep in groups on 1 to 3 threads, in a small program built with the
  # sanitizers on.
  def test_every_sweep_variant_matches_the_plain_procedure
    assert_match(/\Aok portable/, run_kernel_check("sweep_check", flags: ["-pthread"]))
  end

  # The rotation skips atan, cos and sin for quotients below 2**-28, giving
  # x/2 for the angle, 1.0 and x/2 for its cosine and sine. Ruby's Math
  # calls the same math library as the extension: it must agree on a
  # seeded spread of such quotients (subnormals included) on every Ruby.
  def test_tiny_angles_are_what_the_math_library_gives
    rng = Random.new(11)
    quotients = Array.new(20_000) { Math.ldexp(1.0 + rng.rand, rng.rand(-1080..-29)) }
    quotients += [0.0, 2.0**-1074, 2.0**-1022, 2.0**-28 - 2.0**-81, 2.0**-28 - 2.0**-60]
    quotients.flat_map { |x| [x, -x] }.each do |x|
      theta = 0.5 * Math.atan(x)
      assert_bits_equal [x, 1.0, 0.5 * x], [Math.atan(x), Math.cos(theta), Math.sin(theta)], "quotient #{x}"
    end
  end

  # ---- sweeps go on while W is not diagonal --------------------------------

  # The diagonal of W settles before W is diagonal for these (entries of
  # about 0.01 barely move it at all); stopping on the diagonal alone leaves
  # U's columns off orthonormal by 6e-2, 8e-2 and 3e-7.
  def test_sweeps_continue_until_w_is_diagonal
    [random_rows(150, 40, 4, scale: 0.01), random_rows(30, 80, 8, scale: 0.01), random_rows(80, 30, 7)].each do |a|
      u, _, s = decompose(a)
      n = s.size
      n.times do |i|
        n.times { |j| assert_in_delta(i == j ? 1.0 : 0.0, dot_columns(u, i, j), 1e-10, "U^T U at #{i},#{j}") }
      end
    end
  end

  # ---- scale, convergence and rank ------------------------------------------

  # Off-diagonal of V^T G V relative to its largest diagonal entry: how far
  # from diagonal the sweeps left W.
  def residual_off_diagonal(a, v)
    g = a.column_size > a.row_size ? a * a.trans : a.trans * a
    w = (v.trans * g * v).to_a
    largest = w.each_index.map { |i| w[i][i] }.max
    w.each_with_index.flat_map { |row, i| row.each_with_index.map { |x, j| i == j ? 0.0 : x.abs } }.max / largest
  end

  # Scaling by 2^k scales every rotation's operands alike, so S scales by
  # 2^k and U, V stay; columns of U whose value falls to 1e-10 or below
  # become zero.
  def test_powers_of_two_scale_the_values_and_keep_the_vectors
    [[40, 25, 1], [25, 40, 2], [30, 30, 3]].each do |r, c, seed|
      a = gaussian_rows(r, c, seed)
      u0, v0, s0 = decompose(a)
      [-150, -60, -14, 14, 60, 200].each do |k|
        f = 2.0**k
        u, v, s = decompose(a.map { |row| row.map { |x| x * f } })
        assert_close s0, s.map { |x| x / f }, 1e-12, "S at 2^#{k}"
        assert_close v0, v, 1e-12, "V at 2^#{k}"
        s.each_with_index do |x, j|
          col = u.map { |row| row[j] }
          expected = x > 1e-10 ? u0.map { |row| row[j] } : Array.new(col.size, 0.0)
          assert_close expected, col, 1e-12, "U column #{j} at 2^#{k}"
        end
      end
    end
  end

  # Repeated, nearly repeated and graded values: W ends diagonal by the
  # stopping rule within the sweep limit, V is orthonormal and U's columns
  # are as orthonormal as the Gram matrix allows, about
  # eps * (max S / S_j)^2: 1e-10 for these repeated values, 1e-7 for a
  # spectrum graded down to 1e-4 of the largest.
  def test_clustered_and_graded_spectra_converge
    spectra = {
      "repeated" => [[3.0, 2.0, 1.0] * 10, 1e-10],
      "nearly repeated" => [Array.new(24) { |i| 1.0 + (i % 4) * 1e-9 + i * 1e-13 }, 1e-10],
      "graded" => [Array.new(30) { |i| 10.0**(-4.0 * i / 29) }, 1e-6]
    }
    spectra.each_with_index do |(name, (d, tol)), seed|
      [60, 400].each do |rows|
        a = with_singular_values(rows, d, 10 + seed)
        [a, a.trans].each do |m|
          u, v, s = m.svd
          assert_operator residual_off_diagonal(m, v), :<=, 2e-12, "#{name} #{m.size}: W not diagonal"
          assert_operator orthonormality_error(v).first, :<=, 1e-12, "#{name}: V"
          error, formed = orthonormality_error(u)
          assert_equal d.size, formed, name
          assert_operator error, :<=, tol, "#{name} #{m.size}: U"
          assert_close d.sort, s.to_a.sort, tol, "#{name}: S"
        end
      end
    end
  end

  # Rank-deficient data, and documents repeated or empty: the values the
  # Gram matrix cannot resolve are rounding, and get zero columns.
  def test_rank_deficient_inputs_form_exactly_rank_many_columns
    low = Matrix.alloc(*gaussian_rows(300, 60, 20)) * Matrix.alloc(*gaussian_rows(60, 100, 21))
    counts = Array.new(400) { |i| Array.new(80) { |j| ((i * 7 + j * 13) % 17 < 2 ? 1 + (i + j) % 4 : 0).to_f } }
    rng = Random.new(22)
    counts.each { |row| row.map! { |x| rng.rand < 0.05 ? x + 1 + rng.rand(4) : x } }
    counts.each { |row| row[3] = row[40]; row[7] = row[41]; row[11] = 0.0 } # rubocop:disable Style/Semicolon
    [[low, 60], [low.trans, 60], [Matrix.alloc(*counts), 77], [Matrix.alloc(*counts).trans, 77]].each do |m, rank|
      u, = m.svd
      error, formed = orthonormality_error(u)
      assert_equal rank, formed, "#{m.size}: columns formed"
      assert_operator error, :<=, 1e-12, "#{m.size}: U"
    end
  end

  # ---- NaN stays visible ---------------------------------------------------

  # Also at orders that take the sweep in groups of eight rows (131: the
  # last group partial).
  def test_nan_and_infinity_do_not_pass_for_zero
    large = random_rows(140, 131, 4)
    [Float::NAN, Float::INFINITY].each do |bad|
      u, _, s = decompose([[1.0, 2.0], [bad, 4.0], [0.5, 1.0]])
      assert(s.any?(&:nan?), "S = #{s.inspect} for #{bad}")
      assert(u.flatten.any?(&:nan?))
      large[3][130] = bad
      u, _, s = decompose(large)
      assert(s.any?(&:nan?), "S of 140x131 for #{bad}")
      assert(u.flatten.any?(&:nan?))
    end
    _, _, s = decompose([[Float::NAN]])
    assert s.first.nan?
  end

  # ---- the Ruby method -----------------------------------------------------

  def test_arguments_are_ignored_and_svd_is_an_alias
    m = Matrix.alloc([2.0, 1.0], [1.0, 3.0], [0.0, 1.0])
    assert_equal m.svd.map(&:to_a), m.svd(1, :x, nil).map(&:to_a)
    assert_equal m.SV_decomp.map(&:to_a), m.svd.map(&:to_a)
    assert_equal(-1, Matrix.instance_method(:SV_decomp).arity)
    assert_equal Matrix.instance_method(:SV_decomp), Matrix.instance_method(:svd)
  end

  def test_results_are_new_base_class_objects_and_receiver_is_unchanged
    sub = Class.new(Matrix)
    rows = [[1.0, 2.0], [3.0, 4.0]]
    m = sub.alloc(*rows)
    u, v, s = result = m.svd
    assert_instance_of Array, result
    assert_equal [Matrix, Matrix, Vector], [u.class, v.class, s.class]
    assert_equal 0, ZanthicConsumer.read_vector(s)[1], "S is a row vector"
    assert_equal rows, m.to_a
    refute_same u, v
  end

  def test_foreign_receiver_raises_the_type_check
    assert_raises(TypeError) { Matrix.instance_method(:svd).bind_call(Object.new) }
  end

  def test_native_interface_matches_the_method
    a = random_rows(9, 5, 11)
    assert_equal decompose(a), ZanthicConsumer.svd(a, 5)
    assert_equal decompose(a.transpose), ZanthicConsumer.svd(a.transpose, 9)
    assert_equal [[[], [], []], [], []], ZanthicConsumer.svd([], 3)
    assert_equal [[[], [], []], [], []], ZanthicConsumer.svd([[], [], []], 0)
  end

  # ---- memory --------------------------------------------------------------

  def test_under_gc_stress_and_compaction
    m = Matrix.alloc(*random_rows(6, 4, 2))
    expected = m.svd.map(&:to_a)
    with_gc_stress { assert_equal expected, m.svd.map(&:to_a) }
    compact_heap
    assert_equal expected, m.svd.map(&:to_a)
  end

  def test_memory_stays_flat
    m = Matrix.alloc(*random_rows(30, 20, 8))
    assert_memory_flat(iterations: 300) { m.svd }
    assert_memory_flat(iterations: 2000) { Matrix.instance_method(:svd).bind_call(Object.new) }
  end

  # An allocation failing part-way (here the Gram matrix, after A^T) must
  # release what the call had made: ten failures leaking A^T each would
  # exhaust the headroom left under the address-space limit. A fresh
  # process, so that no memory freed earlier is there to be reused.
  def test_failed_allocation_releases_temporaries
    skip "address-space limits do not mix with the sanitizer" if ENV["ZANTHIC_VARIANT"] == "asan"

    script = <<~RUBY
      require "zanthic_ext"
      m = Zanthic::Linalg::Matrix.zeros(1000, 1000) # 8 MB
      GC.start
      vm = File.read("/proc/self/status")[/VmSize:\\s+(\\d+)/, 1].to_i * 1024
      Process.setrlimit(:AS, vm + (12 << 20))
      failures = 10.times.count do
        m.svd
        false
      rescue NoMemoryError
        true
      end
      kept = begin
        m.trans.row_size
      rescue NoMemoryError
        nil
      end
      print [failures, kept].inspect
    RUBY
    out = IO.popen([RbConfig.ruby, *child_load_path, "-e", script], &:read)
    assert_equal "[10, 1000]", out
  end
end
