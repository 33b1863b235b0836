# frozen_string_literal: true

require "test_helper"

# Arguments whose conversion runs Ruby code. Every method that converts a
# number is called with each numeric argument (and each element of an Array
# argument) possibly replaced by a Numeric whose conversion first fills an
# empty object through initialize_copy, writes an element, freezes an object,
# collects or compacts the heap, does one of these on another thread, raises
# or throws. Afterwards every object must read back whole, and the call must
# have done what the same call with plain numbers does on the objects as the
# conversions left them.
class TestReentrancy < Minitest::Test
  CASES = UNDER_VALGRIND ? 150 : 3000
  # Every element any object holds is 0.0 or one of these; a value outside
  # them is memory that no object owned.
  PALETTE = (1..400).map { |k| k + 0.25 }.freeze
  UNIVERSE = [0.0, *PALETTE].to_h { |x| [x, true] }.freeze

  class HookError < StandardError; end

  # The objects one case plays with, and the actions a conversion can take.
  class World
    include ZanthicAssertions
    attr_reader :objects, :rng

    def initialize(rng)
      @rng = rng
      @objects = [Vector.new, Matrix.new, Vector.new, Matrix.new, vector(1 + rng.rand(4)), vector(1 + rng.rand(4)),
                  matrix(1 + rng.rand(3), 1 + rng.rand(3)), matrix(1 + rng.rand(3), 1 + rng.rand(3))]
    end

    def value = PALETTE.sample(random: @rng)
    def vector(n) = Vector.alloc(Array.new(n) { value })
    def matrix(r, c) = Matrix.alloc(Array.new(r) { Array.new(c) { value } })
    def vectors = @objects.grep(Vector)
    def matrices = @objects.grep(Matrix)
    def empty?(obj) = obj.is_a?(Vector) ? obj.size.zero? : obj.size == [0, 0]

    def perform(action)
      case action
      when :fill
        target = @objects.reject { |o| o.frozen? || !empty?(o) }.sample(random: @rng)
        donor = target.is_a?(Vector) ? vector(1 + @rng.rand(4)) : matrix(1 + @rng.rand(3), 1 + @rng.rand(3))
        target&.send(:initialize_copy, donor)
      when :write
        target = @objects.reject { |o| o.frozen? || empty?(o) || o.to_a.flatten.empty? }.sample(random: @rng)
        if target.is_a?(Vector)
          target[@rng.rand(target.size)] = value
        elsif target
          target[@rng.rand(target.row_size), @rng.rand(target.column_size)] = value
        end
      when :freeze then @objects.sample(random: @rng).freeze
      when :gc then @rng.rand(40).zero? ? ObjectSpace.garbage_collect : GC.start(full_mark: false)
      when :compact then ZanthicAssertions::UNDER_VALGRIND ? GC.start : GC.compact
      when :thread then Thread.new { perform(%i[fill write freeze gc].sample(random: @rng)) }.join
      when :raise then raise HookError, "raised by a conversion"
      when :throw then throw :hook
      end
    end
  end

  ACTIONS = %i[fill fill fill write write freeze gc thread raise throw].freeze

  # A Numeric standing for +value+ whose conversions first run its action on
  # the current world. It survives Marshal (as its index in the registry),
  # and loading it runs the action too.
  class Hook < Numeric
    class << self
      attr_accessor :world, :registry
    end

    attr_reader :value, :action

    def initialize(value, action)
      super()
      @value = value
      @action = action
      @id = Hook.registry.size
      Hook.registry << self
    end

    def fired? = @fired
    def fire! = @fired = true

    def to_f = run.to_f
    def to_int = run.to_int
    alias to_i to_int

    def marshal_dump = @id

    def marshal_load(id)
      @id = id
      @value = Hook.registry[id].value
      @action = Hook.registry[id].action
      run
    end

    def run
      Hook.registry[@id].fire!
      Hook.world.perform(@action)
      @value
    end
  end

  # The argument +x+, or a Hook for it.
  def num(world, x)
    return x if world.rng.rand(3).zero?

    action = world.rng.rand(200).zero? ? :compact : ACTIONS.sample(random: world.rng)
    Hook.new(x, action)
  end

  def index(world) = world.rng.rand(-4..4)

  # [name, argument builder, call] for every method that converts a number;
  # the call receives the world's objects and the arguments (Hooks or plain).
  def operations
    [
      [:vector_alloc_count, ->(w) { [num(w, w.rng.rand(4))] }, ->(_, a) { Vector.alloc(a[0]) }],
      [:vector_alloc_array, ->(w) { [Array.new(w.rng.rand(4)) { num(w, w.value) }] }, ->(_, a) { Vector.alloc(a[0]) }],
      [:vector_aref, ->(w) { [w.rng.rand(4), num(w, index(w))] }, ->(o, a) { o.grep(Vector)[a[0]][a[1]] }],
      [:vector_aset, ->(w) { [w.rng.rand(4), num(w, index(w)), num(w, w.value)] },
       ->(o, a) { o.grep(Vector)[a[0]][a[1]] = a[2] }],
      [:matrix_alloc, ->(w) { c = w.rng.rand(3); Array.new(1 + w.rng.rand(3)) { Array.new(c) { num(w, w.value) } } },
       ->(_, a) { Matrix.alloc(*a) }],
      [:matrix_diag, ->(w) { [Array.new(w.rng.rand(4)) { num(w, w.value) }] }, ->(_, a) { Matrix.diag(a[0]) }],
      [:matrix_zeros, ->(w) { [num(w, w.rng.rand(3)), num(w, w.rng.rand(3))] }, ->(_, a) { Matrix.zeros(*a) }],
      [:matrix_aref, ->(w) { [w.rng.rand(4), num(w, index(w)), num(w, index(w))] },
       ->(o, a) { o.grep(Matrix)[a[0]][a[1], a[2]] }],
      [:matrix_aset, ->(w) { [w.rng.rand(4), num(w, index(w)), num(w, index(w)), num(w, w.value)] },
       ->(o, a) { o.grep(Matrix)[a[0]][a[1], a[2]] = a[3] }],
      [:matrix_row, ->(w) { [w.rng.rand(4), num(w, index(w))] }, ->(o, a) { o.grep(Matrix)[a[0]].row(a[1]) }],
      [:matrix_column, ->(w) { [w.rng.rand(4), num(w, index(w))] }, ->(o, a) { o.grep(Matrix)[a[0]].column(a[1]) }],
      [:update, ->(w) { [w.rng.rand(4), w.rng.rand(4), w.rng.rand(4), num(w, w.rng.rand(-1..3)), num(w, 1e-9)] },
       lambda do |o, a|
         basis = o.grep(Matrix)[a[0]]
         s, c = o.grep(Vector).values_at(a[1], a[2])
         basis.incremental_svd_update(s, c, a[3], a[4])
       end],
      [:vector_load, ->(w) { [Array.new(w.rng.rand(4)) { num(w, w.value) }] },
       ->(_, a) { Vector._load(Marshal.dump(a[0] + [false])) }],
      [:matrix_load, ->(w) { c = 1 + w.rng.rand(2); Array.new(2) { Array.new(c) { num(w, w.value) } } },
       ->(_, a) { Matrix._load(Marshal.dump(a)) }],
    ]
  end

  def plain(args) = args.map { |a| a.is_a?(Array) ? plain(a) : (a.is_a?(Hook) ? a.value : a) }
  def hooks(args) = args.flatten.grep(Hook)

  # What a call did, in comparable form.
  def outcome
    thrown = true
    result = catch(:hook) do
      value = yield
      thrown = false
      [:ok, summary(value)]
    end
    thrown ? [:throw] : result
  rescue StandardError => e
    [:raise, e.class, e.message]
  end

  def summary(value)
    case value
    when Vector, Matrix then [value.class, value.to_a.flatten.pack("G*"), value.size]
    when Array then value.map { |x| summary(x) }
    when Hook then value.value # []= returns its argument as passed
    else value
    end
  end

  def assert_whole(obj, label)
    rows = obj.to_a
    if obj.is_a?(Vector)
      assert_equal obj.size, rows.size, label
    else
      assert_equal obj.size, [rows.size, rows.first&.size || obj.column_size], label
      assert(rows.all? { |r| r.size == obj.column_size }, label)
    end
    stray = rows.flatten.reject { |x| UNIVERSE[x] }
    assert_empty stray, "#{label}: values no object held"
  end

  def test_conversions_that_run_ruby_code
    rng = Random.new(20_261_209)
    ops = operations
    tally = Hash.new(0)
    CASES.times do |n|
      world = World.new(rng)
      Hook.world = world
      Hook.registry = []
      name, build, call = ops.sample(random: rng)
      args = build.(world)
      got = outcome { call.(world.objects, args) }
      label = "case #{n} (#{name}, #{hooks(args).map(&:action).inspect})"
      world.objects.each_with_index { |obj, i| assert_whole(obj, "#{label}: object #{i}") }
      tally[got.first] += 1
      stopper = hooks(args).find { |h| h.fired? && %i[raise throw].include?(h.action) }
      if stopper
        assert_equal(stopper.action == :raise ? [:raise, HookError, "raised by a conversion"] : [:throw], got, label)
        next
      end
      # The same call with plain numbers, on copies of the objects as the
      # conversions left them.
      again = outcome { call.(world.objects.map(&:clone), plain(args)) }
      if got.first == :raise && again.first == :raise && [got[1], again[1]].include?(FrozenError)
        next # an index error and a freeze during the call: either may win
      end

      assert_equal again, got, label
      next unless got.first == :ok && name.end_with?("aref", "row", "column")

      values = got[1].is_a?(Float) ? [got[1]] : got[1][1].unpack("G*")
      assert(values.all? { |x| UNIVERSE[x] }, "#{label}: returned #{values.inspect}, which no object held")
    end
    assert_operator tally[:ok], :>, CASES / 5
  end

  # The blocks of each and collect run any Ruby code between elements.
  def test_blocks_that_change_the_world
    rng = Random.new(7)
    (CASES / 10).times do |n|
      world = World.new(rng)
      recv = world.objects.grep(Vector).sample(random: rng)
      method = %i[each collect].sample(random: rng)
      yielded = []
      got = outcome do
        recv.public_send(method) do |x|
          yielded << x
          world.perform(ACTIONS.sample(random: rng)) if rng.rand(2).zero?
          x
        end
      end
      world.objects.each { |obj| assert_whole(obj, "case #{n}") }
      assert(yielded.all? { |x| UNIVERSE[x] }, "case #{n}: yielded a value no object held")
      next unless got.first == :ok

      assert_equal(method == :each ? summary(recv) : [Vector, yielded.pack("G*"), yielded.size], got[1], "case #{n}")
    end
  end
end
