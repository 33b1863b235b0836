# frozen_string_literal: true

require "test_helper"
require "stringio"
require "yaml"

# The examples in the API documentation run and give the results they show.
class TestDocs < Minitest::Test
  SOURCES = Dir[File.expand_path("../ext/zanthic_ext/*.cpp", __dir__)].sort

  # The verbatim lines of each documentation comment outside its call-seq
  # section: "  code", "  code  # => result" or "  # => result" (the result
  # of the line before).
  def examples(source)
    File.read(source).scan(%r{^\s*/\*\n((?:\s*\*.*\n)*?)\s*\*/}).map do |(body)|
      lines = body.lines.map { |l| l.sub(/\A\s*\* ?/, "").chomp }
      lines = lines.drop_while { |l| !l.empty? } if lines.first&.start_with?("call-seq:")
      lines.grep(/\A {2}\S/).map(&:strip)
    end.reject(&:empty?)
  end

  def test_every_example_gives_the_result_it_shows
    checked = 0
    SOURCES.each do |source|
      examples(source).each do |block|
        # Examples are written as if inside the module; each comment's run in
        # a namespace of its own, so the constants it defines do not linger.
        scope = Module.new { include Zanthic::Linalg }.module_eval("binding", __FILE__, __LINE__)
        last = nil
        block.each do |line|
          code, shown = line.split(/\s*# => /, 2)
          where = "#{File.basename(source)}: #{line}"
          unless code.empty? || code.start_with?("#")
            $stdout, saved = StringIO.new, $stdout
            begin
              last = scope.eval(code)
            ensure
              $stdout = saved
            end
          end
          next unless shown

          expected = scope.eval(shown)
          assert_equal expected, last, where
          checked += 1
        end
      end
    end
    assert_operator checked, :>=, 40
  end
end
