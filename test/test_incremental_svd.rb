# frozen_string_literal: true

require "test_helper"

# Matrix#incremental_svd_update: folding one column at a time into a
# truncated decomposition.
class TestIncrementalSvd < Minitest::Test
  # Resident memory says nothing under AddressSanitizer, which keeps freed
  # blocks in quarantine; leaks are the normal build's and valgrind's business.
  def skip_under_sanitizer
    skip "resident memory is not measured under AddressSanitizer" if ENV["ZANTHIC_VARIANT"] == "asan"
  end

  EPS = 1e-9
  MISMATCH = "Vector sizes must match: %d vs %d"
  CORE_MISMATCH = "Matrix dimensions don't match for multiplication: %dx%d * %dx%d"

  def setup
    @u = Matrix.alloc([1], [0])
    @s = vec(2)
    @c = vec(0, 3)
  end

  def update(max_rank, epsilon = EPS, u: @u, s: @s, c: @c)
    u.incremental_svd_update(s, c, max_rank, epsilon)
  end

  def columns(rows) = rows.transpose

  # ---- worked examples -----------------------------------------------------

  def test_new_direction_appended_last
    basis, values = update(5)
    assert_equal [[1.0, 0.0], [0.0, 1.0]], basis.to_a
    assert_equal [2.0, 3.0], values.to_a
  end

  def test_rank_limits_at_or_above_the_new_size_and_negative_do_not_truncate
    [2, 3, -1, -(2**31)].each do |max_rank|
      basis, values = update(max_rank)
      assert_equal [[1.0, 0.0], [0.0, 1.0]], basis.to_a, "max_rank #{max_rank}"
      assert_equal [2.0, 3.0], values.to_a
    end
  end

  def test_truncation_keeps_the_largest_values
    basis, values = update(1)
    assert_equal [[0.0], [1.0]], basis.to_a
    assert_equal [3.0], values.to_a
    basis, values = update(1, s: vec(4))
    assert_equal [[1.0], [0.0]], basis.to_a
    assert_equal [4.0], values.to_a
  end

  def test_vanishing_core_value_gives_a_zero_column_that_truncation_drops
    basis, values = update(-1, s: vec(0))
    assert_equal [[0.0, 0.0], [0.0, 1.0]], basis.to_a
    assert_equal [0.0, 3.0], values.to_a
    basis, values = update(1, s: vec(0))
    assert_equal [[0.0], [1.0]], basis.to_a
    assert_equal [3.0], values.to_a
  end

  def test_truncation_to_zero
    basis, values = update(0)
    assert_equal [2, 0], basis.size
    assert_equal [[], []], basis.to_a
    assert_equal 0, values.size
  end

  def test_max_rank_is_truncated_toward_zero
    assert_equal [3.0], update(1.9)[1].to_a
    assert_equal [2.0, 3.0], update(2.9)[1].to_a
  end

  def test_first_update_from_an_empty_basis
    basis, values = Matrix.zeros(3, 0).incremental_svd_update(vec, vec(3, 0, 4), 10, EPS)
    assert_close [[0.6], [0.0], [0.8]], basis.to_a
    assert_close [5.0], values.to_a
  end

  # ---- keeping the new direction or not ------------------------------------

  def test_column_inside_the_span_returns_copies
    basis, values = update(5, c: vec(5, 0))
    assert_equal [[1.0], [0.0]], basis.to_a
    assert_equal [2.0], values.to_a
    refute_same @u, basis
    refute_same @s, values
    basis[0, 0] = 9.0
    values[0] = 9.0
    assert_equal [[1.0], [0.0]], @u.to_a
    assert_equal [2.0], @s.to_a
  end

  def test_residual_must_exceed_epsilon_strictly
    assert_equal [2.0], update(5, 3.0)[1].to_a
    assert_equal [2.0], update(5, 3)[1].to_a
    assert_equal [2.0, 3.0], update(5, 2.999)[1].to_a
    assert_equal [2.0, 3.0], update(5, Rational(1, 3))[1].to_a
    assert_equal [2.0], update(5, Float::NAN)[1].to_a
    assert_equal [2.0], update(5, Float::INFINITY)[1].to_a
  end

  def test_zero_residual_never_takes_the_update_path
    [-1.0, -Float::INFINITY, 0.0].each do |epsilon|
      basis, values = update(5, epsilon, c: vec(5, 0))
      assert_equal [[1.0], [0.0]], basis.to_a, "epsilon #{epsilon}"
      assert_equal [2.0], values.to_a
    end
    basis, values = Matrix.zeros(0, 0).incremental_svd_update(vec, vec, 3, -1)
    assert_equal [0, 0], basis.size
    assert_equal 0, values.size
  end

  def test_copy_path_ignores_max_rank_and_value_count
    u = Matrix.alloc([1, 0], [0, 1], [0, 0])
    basis, values = u.incremental_svd_update(vec(3, 2), vec(1, 1, 0), 1, EPS)
    assert_equal u.to_a, basis.to_a
    assert_equal [3.0, 2.0], values.to_a
    basis, values = update(5, c: vec(0, 0), s: vec(2, 7))
    assert_equal [[1.0], [0.0]], basis.to_a
    assert_equal [2.0, 7.0], values.to_a
  end

  def test_tied_values_keep_the_lower_positions
    u = Matrix.alloc([1, 0], [0, 1], [0, 0])
    full_basis, full_values = u.incremental_svd_update(vec(3, 3), vec(0, 0, 3), -1, EPS)
    assert_close [3.0, 3.0, 3.0], full_values.to_a
    basis, values = u.incremental_svd_update(vec(3, 3), vec(0, 0, 3), 2, EPS)
    assert_equal full_values.to_a.first(2), values.to_a
    assert_equal columns(full_basis.to_a).first(2), columns(basis.to_a)
  end

  def test_nan_values_rank_lowest
    basis, values = update(1, s: vec(Float::NAN))
    assert_equal 1, values.size
    assert_equal [2, 1], basis.size
    full_basis, full_values = update(-1, s: vec(Float::NAN))
    assert_bits_equal full_values.to_a.first(1), values.to_a
    assert_bits_equal columns(full_basis.to_a).first, columns(basis.to_a).first
  end

  # ---- errors and their order ----------------------------------------------

  def test_column_size_error
    assert_raises_message(ArgumentError, format(MISMATCH, 3, 2)) { update(5, c: vec(0, 3, 1)) }
    assert_raises_message(ArgumentError, format(MISMATCH, 0, 2)) { update(5, c: vec) }
  end

  def test_value_count_error_only_on_the_update_path
    assert_raises_message(ArgumentError, format(CORE_MISMATCH, 2, 2, 3, 3)) { update(5, s: vec(2, 7)) }
    assert_raises_message(ArgumentError, format(CORE_MISMATCH, 2, 2, 1, 1)) { update(5, s: vec) }
  end

  def test_arguments_converted_in_order_before_sizes_are_compared
    wrong_c = vec(1, 2, 3)
    error = assert_raises(TypeError) { @u.incremental_svd_update([2], wrong_c, "x", nil) }
    assert_match "Zanthic::Linalg::Vector", error.message
    assert_raises(TypeError) { @u.incremental_svd_update(@s, @u, "x", nil) }
    error = assert_raises(TypeError) { @u.incremental_svd_update(@s, wrong_c, "x", nil) }
    assert_match "String", error.message
    assert_raises(RangeError) { @u.incremental_svd_update(@s, wrong_c, 2**31, nil) }
    assert_raises(RangeError) { @u.incremental_svd_update(@s, wrong_c, -(2**31) - 1, 1e-9) }
    error = assert_raises(TypeError) { @u.incremental_svd_update(@s, wrong_c, 5, nil) }
    assert_match "nil", error.message
    assert_raises(TypeError) { @u.incremental_svd_update(@s, wrong_c, 5, "0.1") }
    assert_raises(TypeError) { Matrix.instance_method(:incremental_svd_update).bind_call(@s, @s, @c, 1, 1) }
    assert_raises(ArgumentError) { @u.incremental_svd_update(@s, @c, 5) }
  end

  def test_failed_calls_change_nothing
    update(5, c: vec(0, 3, 1)) rescue nil # rubocop:disable Style/RescueModifier
    update(5, s: vec(2, 7)) rescue nil # rubocop:disable Style/RescueModifier
    assert_equal [[1.0], [0.0]], @u.to_a
    assert_equal [2.0], @s.to_a
    assert_equal [0.0, 3.0], @c.to_a
  end

  # The conversions run Ruby code, which may fill the empty receiver and
  # vectors in place: sizes and elements are read only after them, so the
  # call sees the filled records whole, never their old extents.
  def test_conversions_that_fill_the_receiver_and_vectors_are_seen_whole
    u = Matrix.new
    s = Vector.new
    c = Vector.new
    rank = Object.new
    rank.define_singleton_method(:to_int) do
      u.send(:initialize_copy, Matrix.alloc([1], [0]))
      s.send(:initialize_copy, Vector.alloc([2]))
      5
    end
    epsilon = Class.new(Numeric) { define_method(:to_f) { c.send(:initialize_copy, Vector.alloc([0, 3])) && EPS } }
    basis, values = u.incremental_svd_update(s, c, rank, epsilon.new)
    assert_equal [[1.0, 0.0], [0.0, 1.0]], basis.to_a
    assert_equal [2.0, 3.0], values.to_a
  end

  # ---- result objects --------------------------------------------------------

  def test_results_are_new_base_class_objects_and_inputs_unchanged
    sub_matrix = Class.new(Matrix)
    sub_vector = Class.new(Vector)
    u = sub_matrix.alloc([1], [0])
    s = sub_vector.alloc([2]).col
    c = sub_vector.alloc([0, 3]).col
    [[5, EPS], [1, EPS], [5, 10.0]].each do |max_rank, epsilon|
      result = u.incremental_svd_update(s, c, max_rank, epsilon)
      assert_instance_of Array, result
      assert_equal 2, result.size
      assert_instance_of Matrix, result[0]
      assert_instance_of Vector, result[1]
      assert_equal 0, ZanthicConsumer.read_vector(result[1])[1], "values are a row vector"
    end
    assert_equal [[1.0], [0.0]], u.to_a
    assert_equal [[2.0], 1], ZanthicConsumer.read_vector(s)
    assert_equal [[0.0, 3.0], 1], ZanthicConsumer.read_vector(c)
  end

  # ---- invariants on random streams ----------------------------------------

  def random_columns(rng, m, count, scale: 1.0)
    Array.new(count) { Array.new(m) { (rng.rand - 0.5) * scale } }
  end

  def stream(columns, m, max_rank, epsilon = 1e-10)
    basis = Matrix.zeros(m, 0)
    values = Vector.alloc(0)
    columns.each { |c| basis, values = basis.incremental_svd_update(values, Vector.alloc(c), max_rank, epsilon) }
    [basis, values]
  end

  def assert_orthonormal_where_nonzero(basis, values, tol = 1e-9)
    cols = columns(basis.to_a)
    keep = values.to_a.each_index.select { |j| values[j] > 1e-10 }
    keep.each do |i|
      keep.each do |j|
        dot = cols[i].zip(cols[j]).sum { |x, y| x * y }
        assert_in_delta(i == j ? 1.0 : 0.0, dot, tol, "columns #{i}, #{j}")
      end
    end
  end

  def gram(cols_or_rows) = cols_or_rows.map { |a| cols_or_rows.map { |b| a.zip(b).sum { |x, y| x * y } } }

  def test_stream_without_truncation_reproduces_the_gram_structure
    rng = Random.new(42)
    m = 30
    data = random_columns(rng, m, 12)
    basis, values = stream(data, m, -1)
    assert_equal [m, 12], basis.size
    assert_orthonormal_where_nonzero(basis, values)
    # U diag(s)^2 U^T == A A^T for the columns fed in.
    us = basis.to_a.map { |row| row.each_with_index.map { |x, j| x * values[j] } }
    expected = data.transpose.then { |rows| rows.map { |a| rows.map { |b| a.zip(b).sum { |x, y| x * y } } } }
    actual = us.map { |a| us.map { |b| a.zip(b).sum { |x, y| x * y } } }
    assert_close expected, actual, 1e-9
  end

  # The core's sweeps keep W symmetric and take their angles without the
  # math library: the same rotations as the plain decomposition of the
  # core's transpose, to rounding. Checked against that decomposition
  # (Matrix#svd, the plain procedure bit for bit) at orders with whole and
  # partial blocks of eight; m = 4k keeps the residual above c's norm /
  # sqrt(2), so no second projection runs.
  def test_core_rotations_match_the_plain_decomposition_to_rounding
    rng = Random.new(17)
    # The last basis is tall enough that the passes over it go in pieces.
    [[5, 20], [30, 120], [60, 240], [101, 404], [101, 2000]].each do |k, m|
      u, _, s = Matrix.alloc(*random_columns(rng, k, m)).svd
      c = random_columns(rng, m, 1).first
      rows = u.to_a
      p = (0...k).map { |i| rows.each_with_index.sum { |row, t| row[i] * c[t] } }
      r = rows.each_with_index.map { |row, i| c[i] - row.zip(p).sum { |x, y| x * y } }
      rho = Math.sqrt(r.sum { |x| x * x })
      core_t = Array.new(k + 1) { |i| Array.new(k + 1) { |j| i == j ? (i < k ? s[i] : rho) : (i == k ? p[j] : 0.0) } }
      _, left, sigma = Matrix.alloc(*core_t).svd
      expected = Matrix.extend_column(u, Vector.alloc(r.map { |x| x / rho })) * left
      basis, values = u.incremental_svd_update(s, Vector.alloc(c), -1, 1e-10)
      assert_close sigma.to_a, values.to_a, 1e-12, "values at k = #{k}"
      assert_close expected.to_a, basis.to_a, 1e-12, "basis at k = #{k}"
    end
  end

  # A column mostly inside the span takes the second projection, whose
  # coefficients come out of the residual's own pass over the basis; they
  # are applied by another pass (residual 1e-8 of the column) or through the
  # rotation (1e-5, where they are negligible against the residual). Over
  # widths covering every remainder of a vector of eight: the new basis is
  # orthonormal, and U diag(s)^2 U^T gains exactly c c^T.
  def test_second_projection_keeps_the_decomposition_exact
    rng = Random.new(23)
    m = 60
    # Columns of the accumulated rotations: orthonormal to rounding.
    _, q, = Matrix.alloc(*random_columns(rng, m, m)).svd
    weighted = ->(b, v) { b.to_a.map { |row| row.each_with_index.map { |x, j| x * v[j] } } }
    [1e-8, 1e-5].product([1, 3, 7, 8, 9, 15, 16, 17, 21]) do |noise, k|
      u = Matrix.alloc(*q.to_a.map { |row| row.first(k) })
      s = Vector.alloc(Array.new(k) { 1.0 + 10.0 * rng.rand })
      weights = Array.new(k) { rng.rand - 0.5 }
      inside = u.to_a.map { |row| row.zip(weights).sum { |x, w| x * w } }
      c = inside.zip(random_columns(rng, m, 1).first).map { |x, y| x + noise * y }
      basis, values = u.incremental_svd_update(s, Vector.alloc(c), -1, 1e-12)
      assert_equal k + 1, values.size
      error, = orthonormality_error(basis)
      assert_operator error, :<=, 1e-13, "k = #{k}, residual #{noise}"
      expected = gram(weighted.(u, s)).each_with_index.map { |row, i| row.each_with_index.map { |x, j| x + c[i] * c[j] } }
      assert_close expected, gram(weighted.(basis, values)), 1e-11, "k = #{k}, residual #{noise}"
    end
  end

  def test_stream_of_low_rank_data_stops_growing
    rng = Random.new(3)
    m = 40
    factors = random_columns(rng, m, 3)
    data = Array.new(10) { w = Array.new(3) { rng.rand - 0.5 }; (0...m).map { |i| (0...3).sum { |f| factors[f][i] * w[f] } } }
    basis, values = stream(data, m, -1, 1e-8)
    assert_equal 3, values.size
    assert_orthonormal_where_nonzero(basis, values)
    projections = basis.batch_project(data.map { |c| Vector.alloc(c) })
    data.each_with_index do |c, i|
      assert_in_delta Math.sqrt(c.sum { |x| x * x }), Math.sqrt(projections[i] * projections[i]), 1e-8
    end
  end

  def test_truncated_stream_keeps_the_largest_of_each_full_update
    rng = Random.new(11)
    m = 25
    # A few large columns arrive late: a positional cut would drop them.
    data = random_columns(rng, m, 8) + random_columns(rng, m, 3, scale: 50.0)
    basis = Matrix.zeros(m, 0)
    values = Vector.alloc(0)
    data.each do |c|
      full_basis, full_values = basis.incremental_svd_update(values, Vector.alloc(c), -1, 1e-10)
      basis, values = basis.incremental_svd_update(values, Vector.alloc(c), 4, 1e-10)
      full = full_values.to_a
      kept = full.each_index.sort_by { |j| [-full[j], j] }.first(4).sort
      assert_equal kept.map { |j| full[j] }, values.to_a
      assert_equal kept.map { |j| columns(full_basis.to_a)[j] }, columns(basis.to_a)
      assert_orthonormal_where_nonzero(basis, values)
    end
    assert_equal 4, values.size
    assert_equal 3, values.to_a.count { |v| v > 20.0 }, "the three large columns survive"
  end

  # ---- long streams keep an orthonormal basis ------------------------------

  # Streams of 2000-row columns, started from the decomposition of their
  # first 20. Near-duplicates leave a residual of 1e-7 of their norm, whose
  # direction one projection alone gets wrong by about 1e-9; every later
  # projection onto a damaged basis amplifies that.
  def test_update_streams_keep_an_orthonormal_basis
    m = 2000
    updates = UNDER_VALGRIND ? 20 : 300
    rng = Random.new(31)
    topics = Matrix.alloc(*gaussian_rows(m, 30, 32)) * Matrix.alloc(*Array.new(30) { Array.new(updates + 20) { rng.rand } })
    noise = gaussian_rows(m, updates + 20, 33)
    noisy = columns(topics.to_a.each_with_index.map { |row, i| row.each_with_index.map { |x, j| x + 1e-3 * noise[i][j] } })
    counts = Array.new(60) { Array.new(m) { rng.rand < 0.05 ? 1.0 + rng.rand(5) : 0.0 } }
    near = Array.new(UNDER_VALGRIND ? 10 : 60) do |i|
      source = counts[i % counts.size]
      direction = gaussian_rows(1, m, 100 + i).first
      scale = 1e-7 * Math.sqrt(source.sum { |x| x * x } / direction.sum { |x| x * x })
      source.zip(direction).map { |x, y| x + scale * y }
    end
    { "topics and noise" => [noisy, 50], "counts and near-duplicates" => [counts + near, -1] }.each do |name, (data, rank)|
      basis, _, values = Matrix.alloc(*columns(data.first(20))).svd
      data.drop(20).each { |c| basis, values = basis.incremental_svd_update(values, Vector.alloc(c), rank, 1e-9) }
      error, formed = orthonormality_error(basis)
      assert_equal values.to_a.count { |x| x > 1e-10 }, formed, name
      assert_operator error, :<=, 1e-10, name
      next unless rank.negative?

      # Against a fresh decomposition of everything seen, where that one is
      # accurate to 1e-10 itself (values above 1e-3 of the largest).
      _, _, fresh = Matrix.alloc(*columns(data)).svd
      fresh = fresh.to_a.sort.reverse
      kept = fresh.take_while { |x| x > 1e-3 * fresh.first }
      ours = values.to_a.sort.reverse
      kept.each_with_index { |x, j| assert_in_delta x, ours[j], 1e-10 * x, "#{name}: value #{j}" }
    end
  end

  # The residual's norm rescales rather than overflow or underflow.
  def test_residual_norm_is_safe_at_the_ends_of_the_range
    basis, values = Matrix.zeros(2, 0).incremental_svd_update(vec, vec(1e-170, 1e-170), -1, 0)
    assert_equal [2, 1], basis.size, "a residual of 1.4e-170 is not zero"
    assert_equal 1, values.size
    basis, = Matrix.zeros(2, 0).incremental_svd_update(vec, vec(1e200, 1), -1, 1e-9)
    assert_equal [[1.0], [1e-200]], basis.to_a
  end

  # No m x m temporary: an m of 200000 would need 320 GB for one.
  def test_tall_basis
    m = 200_000
    c = Array.new(m, 0.0)
    c[0] = 3.0
    c[m - 1] = 4.0
    basis, values = Matrix.zeros(m, 0).incremental_svd_update(vec, Vector.alloc(c), 3, EPS)
    assert_close [5.0], values.to_a
    assert_in_delta 0.6, basis[0, 0], 1e-15
    assert_in_delta 0.8, basis[m - 1, 0], 1e-15
  end

  # A basis without rows leaves an empty residual, so the column is never
  # folded in and its 2**61 coefficients (all zero) are never made: copies
  # come back at once. Allocation failures inside updates are driven one by
  # one in test_allocation_faults.rb.
  def test_basis_without_rows_of_any_width_returns_copies
    huge = Matrix.zeros(0, 2**61)
    basis, values = huge.incremental_svd_update(vec(2, 1), vec, 5, -1.0)
    assert_equal [[0, 2**61], [2.0, 1.0]], [basis.size, values.to_a]
    skip_under_sanitizer
    assert_memory_flat(iterations: 20_000) { huge.incremental_svd_update(vec, vec, 5, EPS) }
  end

  # ---- memory and GC ---------------------------------------------------------

  def test_failing_calls_leave_memory_flat
    skip_under_sanitizer
    u = Matrix.zeros(500, 20)
    s = Vector.alloc(20)
    bad_c = Vector.alloc(499)
    c = Vector.alloc(Array.new(500) { |i| i.odd? ? 1.0 : 0.0 })
    bad_s = Vector.alloc(19)
    assert_memory_flat(iterations: 20_000) { u.incremental_svd_update(s, bad_c, 5, EPS) }
    assert_memory_flat(iterations: 5_000) { u.incremental_svd_update(bad_s, c, 5, EPS) }
    assert_memory_flat(iterations: 20_000) { u.incremental_svd_update(s, c, "x", EPS) }
    assert_memory_flat(iterations: 20_000) { u.incremental_svd_update(s, c, 5, nil) }
  end

  # Resident memory after successful calls swings with the garbage
  # collector's malloc limit; a leak makes every round grow, so the smallest
  # growth of several rounds is what is compared.
  def assert_rounds_flat(rounds: 3, iterations: 4_000, limit: 6 << 20, &call)
    # Under valgrind the leak check itself is the judge.
    return 40.times(&call) if UNDER_VALGRIND

    growth = Array.new(rounds) do
      3.times { GC.start }
      before = rss_bytes
      iterations.times(&call)
      3.times { GC.start }
      rss_bytes - before
    end
    assert growth.min < limit, "memory grew by #{growth.inspect} bytes per #{iterations} calls"
  end

  def test_successful_calls_leave_memory_flat
    skip_under_sanitizer
    rng = Random.new(5)
    basis, values = stream(random_columns(rng, 300, 10), 300, -1)
    c = Vector.alloc(Array.new(300) { rng.rand })
    inside = Vector.alloc(basis.column(0).to_a)
    assert_rounds_flat { basis.incremental_svd_update(values, c, 5, 1e-10) }
    assert_rounds_flat { basis.incremental_svd_update(values, c, -1, 1e-10) }
    assert_rounds_flat { basis.incremental_svd_update(values, inside, 5, 1e-6) }
  end

  def test_gc_stress
    rng = Random.new(9)
    data = random_columns(rng, 8, 4)
    expected = stream(data, 8, 3).map(&:to_a)
    actual = with_gc_stress { stream(data, 8, 3).map(&:to_a) }
    compact_heap
    assert_equal expected, actual
    copy = with_gc_stress { update(5, c: vec(5, 0)) }
    assert_equal [[[1.0], [0.0]], [2.0]], copy.map(&:to_a)
  end
end
