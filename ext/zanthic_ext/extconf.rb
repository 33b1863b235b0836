# frozen_string_literal: true

# Builds the zanthic_ext shared object from the C++ units in this directory.
#
# Environment:
#   ZANTHIC_SANITIZE=1  build with AddressSanitizer + UndefinedBehaviorSanitizer
#                       (the test suite then runs with the sanitizer runtime
#                       preloaded into ruby; see the Rakefile)
#   ZANTHIC_FAULTS=1    test-only build that can fail chosen allocations
#   ZANTHIC_NATIVE=1    tune for the build machine (-march=native); the default
#                       build stays portable and picks AVX2/AVX-512 kernels at
#                       run time instead (ZANTHIC_ISA, see isa.h, forces one)
#   ZANTHIC_WERROR=1    warnings are errors (CI's Clang and cross builds)
#   CXX=clang++         the C++ compiler, compiling and linking (default: the
#                       one Ruby was built with); GCC and Clang are supported,
#                       and cross compilers for building object files
require "rbconfig"

# mkmf writes its configuration's compiler into the Makefile; an explicit CXX
# replaces it there, for the link step too, before mkmf reads it.
if ENV["CXX"] && !ENV["CXX"].strip.empty?
  [RbConfig::MAKEFILE_CONFIG, RbConfig::CONFIG].each do |config|
    config["CXX"] = ENV["CXX"]
    config["LDSHAREDXX"] = config["LDSHAREDXX"].to_s.sub(/\A\S*/, ENV["CXX"])
  end
end

require "mkmf"

# Ruby's own warning flags are written for C; several of them make g++ complain.
$warnflags = ""

# Clang takes GCC's flags except for a few spellings. Asked from the
# preprocessor, which works for cross compilers too (mkmf's own checks link
# against this machine's Ruby).
clang = IO.popen("#{RbConfig::CONFIG['CXX']} -dM -E -x c++ - 2>&1", "r+") { |io|
  io.close_write
  io.read
}.include?("__clang__")

cxx = %w[
  -std=c++17
  -O3
  -g
  -fvisibility=hidden
  -fvisibility-inlines-hidden
  -fno-exceptions
  -fno-rtti
  -fno-math-errno
  -ffp-contract=off
  -Wall
  -Wextra
  -Wno-unused-parameter
  -Wpointer-arith
  -Wformat=2
]
# GCC's local-only shadowing warning; Clang has no such spelling.
cxx << "-Wshadow=local" unless clang
# Rotations and every other place where rounding is prescribed rely on plain
# multiply-then-add; -ffp-contract=off keeps the compiler from fusing them.
# Kernels whose summation order is free use explicit FMA intrinsics instead.

if ENV["ZANTHIC_SANITIZE"] == "1"
  cxx += %w[-O1 -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined]
  # No redzones around stack variables: Ruby raises with __builtin_longjmp,
  # which the sanitizer cannot see, so a raise through one of our frames
  # would leave its redzones poisoned and a later, unrelated use of that
  # stack memory (by the interpreter's intercepted libc calls) would be
  # reported. Heap and global checks are unaffected.
  cxx += clang ? %w[-mllvm -asan-stack=0] : %w[--param=asan-stack=0]
  $LDFLAGS << " -fsanitize=address,undefined"
end
# Test-only: allocation-failure injection (Zanthic::Linalg::Faults). The
# tests drive it with tiny inputs, so optimisation matters less than build time.
cxx += %w[-O1 -DZANTHIC_FAULTS] if ENV["ZANTHIC_FAULTS"] == "1"
cxx << "-march=native" if ENV["ZANTHIC_NATIVE"] == "1"
cxx << "-Werror" if ENV["ZANTHIC_WERROR"] == "1"

$CXXFLAGS << " " << cxx.join(" ")
# Only the native interface is exported; keep libstdc++ and libgcc symbols out
# of the dynamic table too.
$LDFLAGS << " -Wl,--exclude-libs,ALL"

# The public header sits in its own directory, the one dependent extensions
# are given (Zanthic::Linalg.include_dir); the units' private headers stay here.
$INCFLAGS << " -I" << File.join(__dir__, "include")

$srcs = Dir[File.join(__dir__, "*.cpp")].map { |f| File.basename(f) }.sort
# Installed as zanthic_ext/zanthic_ext.so beside lib/zanthic_ext.rb, which loads it.
create_makefile("zanthic_ext/zanthic_ext")
