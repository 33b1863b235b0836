# frozen_string_literal: true

# Checks an installed zanthic_ext gem from outside the checkout (rake
# test:gem runs it with GEM_HOME set to a fresh installation): it loads from
# there, reports the installed version, exposes only the public header, and
# another extension builds against that header and runs.
require "rbconfig"
require "tmpdir"

def check(ok, message)
  ok or abort "installed gem: #{message}"
end

require "zanthic_ext"
home = ENV.fetch("GEM_HOME")
loaded = $LOADED_FEATURES.grep(%r{/zanthic_ext(/zanthic_ext\.so|\.rb)\z})
check loaded.size == 2 && loaded.all? { |f| f.start_with?(home) }, "loaded #{loaded.inspect}, not from #{home}"
check Gem.loaded_specs["zanthic_ext"].version.to_s == Zanthic::Linalg::VERSION, "version mismatch"
include_dir = Zanthic::Linalg.include_dir
check include_dir.start_with?(home) && Dir.children(include_dir) == ["zanthic_ext.h"],
      "include directory #{include_dir}: #{Dir.exist?(include_dir) && Dir.children(include_dir).inspect}"
check Zanthic::Linalg::Vector.alloc([3, 4]).normalize.to_a == [0.6, 0.8], "normalize"

Dir.mktmpdir("zanthic-dependent") do |build|
  check system(RbConfig.ruby, File.join(__dir__, "dependent/extconf.rb"), chdir: build, out: File::NULL),
        "dependent extconf failed (#{build}/mkmf.log)"
  check system("make", "-s", "V=0", chdir: build), "dependent build failed"
  script = 'require "zanthic_ext"; require "zanthic_dependent"; ' \
           'print ZanthicDependent.norms(Zanthic::Linalg::Vector.alloc([5, 12])).inspect'
  out = IO.popen([RbConfig.ruby, "-I", build, "-e", script], chdir: build, &:read)
  check $?.success? && out == "[13.0, 5.0]", "dependent extension printed #{out.inspect}"
end
puts "installed gem #{Zanthic::Linalg::VERSION}: loads from GEM_HOME, dependent extension builds and runs"
