# frozen_string_literal: true

require "fiddle"

# Memory-flat checks for the vector tests: assert_memory_flat, with the
# allocator's free pages handed back before and after the measured calls.
module VectorMemorySupport
  MALLOC_TRIM = Fiddle::Function.new(Fiddle.dlopen(nil)["malloc_trim"], [Fiddle::TYPE_SIZE_T], Fiddle::TYPE_INT)

  # Under the sanitizer build the freed records sit in its quarantine, so
  # resident memory says nothing about leaks there (the valgrind run covers
  # them); the failing calls still run, for the sanitizer's own checks.
  SANITIZED = ENV["ZANTHIC_VARIANT"] == "asan"

  # Collects the garbage and returns malloc's free pages to the system, so
  # that resident memory measures live allocations rather than what malloc
  # keeps after a burst of large frees.
  def release_free_memory
    GC.start
    MALLOC_TRIM.call(0)
  end

  def run_failing(count)
    count.times do
      yield
    rescue StandardError
      nil
    end
  end

  # assert_memory_flat over +iterations+ failing calls, after a warm-up and
  # with free memory released before the first and after the last measured
  # call. A leak of one large record per call shows as hundreds of megabytes.
  def assert_flat(iterations: 2000, &block)
    # Under valgrind its leak check is the judge and the helper runs light.
    return assert_memory_flat(iterations: iterations, &block) if ZanthicAssertions::UNDER_VALGRIND
    if SANITIZED
      run_failing(iterations / 10, &block)
      return pass
    end
    run_failing(50, &block)
    release_free_memory
    calls = 0
    assert_memory_flat(iterations: iterations) do
      calls += 1
      yield
    ensure
      release_free_memory if calls == iterations
    end
  end
end
