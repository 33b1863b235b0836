# frozen_string_literal: true

# How a long call treats the other Ruby threads, measured the same way by
# bench_threads.rb and report.rb.
module Responsiveness
  module_function

  def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

  # The worst wait of a thread asking to run every millisecond while the
  # block runs, and how long the block took.
  def ticker_gap
    worst = 0.0
    last = now
    running = true
    ticker = Thread.new do
      while running
        sleep 0.001
        t = now
        worst = [worst, t - last].max
        last = t
      end
    end
    sleep 0.01
    start = now
    yield
    taken = now - start
    running = false
    ticker.join
    [worst, taken]
  end

  # Time from Thread#raise to the end of a thread interrupted 50 ms into the
  # block.
  def interrupt_latency
    worker = Thread.new { yield }
    worker.report_on_exception = false
    sleep 0.05
    start = now
    worker.raise(Interrupt)
    begin
      worker.join
    rescue Interrupt
      nil
    end
    now - start
  end
end
