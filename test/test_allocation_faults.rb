# frozen_string_literal: true

require "test_helper"

# Every allocation of every method made to fail in turn, in a child process
# running the fault-injection build (rake compile:faults): the call must
# raise NoMemoryError, leave its receiver and arguments as they were, and
# leave no native block behind.
class TestAllocationFaults < Minitest::Test
  # name => [setup returning the inputs, call on them]; inputs are Vectors,
  # Matrices or Arrays and must read back unchanged after a failed call.
  CALLS = <<~'RUBY'
    v3 = -> { Vector.alloc([3.0, 4.0, 12.0]) }
    m23 = -> { Matrix.alloc([1.0, 2.0, 3.0], [4.0, 5.0, 7.0]) }
    column = -> { Matrix.alloc([1.0], [0.0], [0.0]) }
    sq = -> { Matrix.alloc([4.0, 1.0, 0.5], [1.0, 3.0, 0.0], [0.5, 0.0, 2.0]) }
    CALLS = {
      vector_alloc_count: [-> { [] }, ->(_) { Vector.alloc(5) }],
      vector_alloc_array: [-> { [[1, 2.5]] }, ->(a) { Vector.alloc(a[0]) }],
      vector_load: [-> { [v3.().col._dump(0)] }, ->(a) { Vector._load(a[0]) }],
      collect: [-> { [v3.()] }, ->(a) { a[0].collect { |x| x * 2 } }],
      normalize: [-> { [v3.()] }, ->(a) { a[0].normalize }],
      row_col: [-> { [v3.()] }, ->(a) { [a[0].row, a[0].col] }],
      vector_scale: [-> { [v3.()] }, ->(a) { a[0] * 2.0 }],
      vector_minus: [-> { [v3.(), v3.()] }, ->(a) { a[0] - a[1] }],
      vector_dup: [-> { [v3.()] }, ->(a) { [a[0].dup, a[0].clone] }],
      matrix_alloc: [-> { [[[1, 2], [3, 4]]] }, ->(a) { Matrix.alloc(a[0]) }],
      matrix_diag: [-> { [[1, 2, 3], v3.()] }, ->(a) { [Matrix.diag(a[0]), Matrix.diagonal(a[1])] }],
      matrix_zeros: [-> { [] }, ->(_) { Matrix.zeros(2, 3) }],
      matrix_row_column: [-> { [m23.()] }, ->(a) { [a[0].row(1), a[0].column(2)] }],
      matrix_load: [-> { [m23.()._dump(0)] }, ->(a) { Matrix._load(a[0]) }],
      matrix_dup: [-> { [m23.()] }, ->(a) { a[0].dup }],
      transpose: [-> { [m23.()] }, ->(a) { a[0].trans }],
      products: [-> { [m23.(), sq.(), v3.()] }, ->(a) { [a[0] * a[1], a[0] * a[2], a[1] * 0.5] }],
      extend_vstack: [-> { [m23.(), Vector.alloc([1, 2])] },
                      ->(a) { [Matrix.extend_column(a[0], a[1]), Matrix.vstack(a[0], a[0])] }],
      svd_tall: [-> { [m23.().trans] }, ->(a) { a[0].svd }],
      svd_wide: [-> { [m23.()] }, ->(a) { a[0].svd }],
      svd_square: [-> { [sq.()] }, ->(a) { a[0].svd }],
      update_truncating: [-> { [column.(), Vector.alloc([2.0]), Vector.alloc([0.5, 3.0, 1.0])] },
                          ->(a) { a[0].incremental_svd_update(a[1], a[2], 1, 1e-9) }],
      update_growing: [-> { [column.(), Vector.alloc([2.0]), Vector.alloc([0.5, 3.0, 1.0])] },
                       ->(a) { a[0].incremental_svd_update(a[1], a[2], 5, 1e-9) }],
      update_copying: [-> { [Matrix.alloc([1.0], [0.0]), Vector.alloc([2.0]), Vector.alloc([3.0, 0.0])] },
                       ->(a) { a[0].incremental_svd_update(a[1], a[2], 5, 1e-9) }],
      batch_project: [-> { [m23.().trans, v3.(), v3.().col] }, ->(a) { a[0].batch_project([a[1], a[2], a[1]]) }],
      native_batch_project: [-> { [[[1, 2], [3, 4], [5, 6]], [[1, 1, 1], [1, 0, 0], [0, 0, 1]]] },
                             ->(a) { ZanthicConsumer.batch_project(a[0], 2, a[1]) }],
      native_svd: [-> { [] }, ->(_) { ZanthicConsumer.svd([[1, 2, 3], [4, 5, 7]], 3) }],
      native_vector_ops: [-> { [] }, ->(_) { ZanthicConsumer.vector_ops([3, 4], [1, 2]) }],
      native_multiply: [-> { [] }, ->(_) { ZanthicConsumer.matrix_kernel(:multiply, [[1, 2]], 2, [[3], [4]], 1) }],
    }
  RUBY

  DRIVER = <<~'RUBY'
    require "zanthic_ext"
    require "zanthic_consumer"
    include Zanthic::Linalg
    REPEAT = 6
    readable = ->(x) { x.is_a?(Vector) || x.is_a?(Matrix) ? [x.class, x.to_a] : x }
    snapshot = ->(inputs) { Marshal.dump(inputs.map(&readable)) }
    report = {}
    CALLS.each do |name, (setup, call)|
      problems = []
      n = 1
      loop do
        GC.start
        base = Faults.live
        fired = false
        REPEAT.times do
          inputs = setup.()
          before = snapshot.(inputs)
          Faults.arm(n)
          outcome = begin
            call.(inputs)
            :returned
          rescue NoMemoryError
            :no_memory
          rescue StandardError => e
            e.class
          ensure
            left = Faults.disarm
          end
          fired = left.negative?
          break unless fired

          problems << "allocation #{n}: #{outcome}" unless outcome == :no_memory
          problems << "allocation #{n}: inputs changed" unless snapshot.(inputs) == before
        end
        break unless fired

        GC.start
        grown = Faults.live - base
        problems << "allocation #{n}: #{grown} blocks left over #{REPEAT} failed calls" if grown >= REPEAT / 2
        n += 1
      end
      report[name] = [n - 1, problems.uniq]
    end
  RUBY

  def test_every_allocation_of_every_method_fails_cleanly
    skip_without_faults_build

    status, out = run_child([CALLS, DRIVER, child_result("report")].join("\n"), lib: FAULTS_LIB)
    assert status&.success?, out
    report = child_value(out)
    assert_equal CALLS.scan(/^ +(\w+): \[/).flatten.map(&:to_sym), report.keys
    report.each do |name, (allocations, problems)|
      assert_operator allocations, :>, 0, "#{name}: no allocation was counted"
      assert_empty problems, name
    end
  end
end
