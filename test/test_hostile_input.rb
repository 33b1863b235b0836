# frozen_string_literal: true

require "test_helper"

# Inputs an attacker controls: shapes whose empty side is astronomically
# long, and Marshal payloads that try to make a few bytes expand.
class TestHostileInput < Minitest::Test
  HUGE = 2**62
  LONGEST = 2**63 - 1

  # Every operation whose result has no elements returns at once, however
  # long the empty side. Run in a child, so that per-row work on 2^62 rows
  # shows up as a killed child rather than a stalled suite.
  def test_zero_extent_work_does_nothing_per_row
    status, out = run_child(<<~RUBY)
      require "zanthic_ext"
      include Zanthic::Linalg
      h = #{HUGE}
      e = Vector.alloc(0)
      sizes = ->(list) { list.map(&:size) }
      vstack_error = begin
        Matrix.vstack(Matrix.zeros(h, 0), Matrix.zeros(h, 0))
      rescue ArgumentError => error
        error.class
      end
      #{child_result(<<~LIST.strip)}
        [sizes.(Matrix.zeros(0, h).svd), sizes.(Matrix.zeros(h, 0).svd),
         sizes.(Matrix._load(Marshal.dump(#{LONGEST})).svd),
         Matrix.zeros(0, h).trans.size, Matrix.zeros(h, 0).transpose.size,
         (Matrix.zeros(h, 0) * Matrix.zeros(0, 0)).size, (Matrix.zeros(0, h) * Matrix.zeros(h, 0)).size,
         (Matrix.zeros(h, 0) * 2.0).size,
         Matrix.extend_column(Matrix.zeros(0, h), e).size,
         Matrix.vstack(Matrix.zeros(h, 0), Matrix.zeros(h - 1, 0)).size, vstack_error,
         sizes.(Matrix.zeros(0, h).incremental_svd_update(Vector.alloc([3, 4]), e, 5, 1e-9)),
         Matrix.zeros(0, h).incremental_svd_update(Vector.alloc([3, 4]), e, 1, 0.0)[1].to_a,
         Matrix.zeros(h, 0).row(-1).size, Matrix.zeros(0, 0).batch_project([e, e]).map(&:size)]
      LIST
    RUBY
    assert status&.success?, out
    h = HUGE
    assert_equal [[[h, 0], [0, 0], 0], [[h, 0], [0, 0], 0], [[LONGEST, 0], [0, 0], 0], [h, 0], [0, h], [h, 0], [0, 0],
                  [h, 0], [0, h + 1], [LONGEST, 0], ArgumentError, [[0, h], 2], [3.0, 4.0], 0, [0, 0]],
                 child_value(out)
  end

  # A Marshal link costs a few bytes; a row named by many links would be
  # copied out in full each time. Rows of a payload must be distinct Arrays,
  # which every payload _dump writes is.
  def test_load_refuses_rows_that_are_the_same_array
    row = Array.new(3000, 0)
    message = "Matrix payload rows must be distinct Arrays"
    [[row] * 3000, [row, [1] * 3000, row], [[row, row]]].each do |rows|
      payload = Marshal.dump(rows)
      assert_raises_message(ArgumentError, message) { Matrix._load(payload) }
    end
    assert_raises_message(ArgumentError, message) { Matrix._load(Marshal.dump([[]] * 5)) }
    # The row checks that come first keep their errors.
    assert_raises_message(ArgumentError, "All rows must have the same length") do
      Matrix._load(Marshal.dump([row, [1], row]))
    end
    # Ruby callers may still pass one Array as several rows.
    assert_equal [3, 2], Matrix.alloc([[1, 2]] * 3).size
    rng = Random.new(51)
    [[2, 3], [1, 4], [3, 0], [1, 0], [4, 1]].each do |r, c|
      m = Matrix.alloc(Array.new(r) { Array.new(c) { rng.rand.round(1) } })
      assert_equal m.to_a, Marshal.load(Marshal.dump(m)).to_a
    end
  end
end
