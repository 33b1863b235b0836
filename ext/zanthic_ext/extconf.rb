# frozen_string_literal: true

# Builds the zanthic_ext shared object from the C++ units in this directory.
#
# Environment:
#   ZANTHIC_SANITIZE=1  build with AddressSanitizer + UndefinedBehaviorSanitizer
#                       (the test suite then runs with the sanitizer runtime
#                       preloaded into ruby; see the Rakefile)
#   ZANTHIC_NATIVE=1    tune for the build machine (-march=native); the default
#                       build stays portable and picks AVX2/AVX-512 kernels at
#                       run time instead
require "mkmf"

# Ruby's own warning flags are written for C; several of them make g++ complain.
$warnflags = ""

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
  -Wshadow=local
  -Wpointer-arith
  -Wformat=2
]
# Rotations and every other place where rounding is prescribed rely on plain
# multiply-then-add; -ffp-contract=off keeps the compiler from fusing them.
# Kernels whose summation order is free use explicit FMA intrinsics instead.

if ENV["ZANTHIC_SANITIZE"] == "1"
  # Stack red zones stay off: a Ruby exception leaves C frames through the
  # interpreter's uninstrumented longjmp, which never clears their poison, and
  # a later call that reuses that stack would be reported falsely. Heap
  # checking, which covers every record, is unaffected. Global red zones are
  # off too: they export an __odr_asan indicator for every exported global,
  # and the dynamic table must list the native interface only.
  cxx += %w[-O1 -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
            --param=asan-stack=0 --param=asan-globals=0]
  $LDFLAGS << " -fsanitize=address,undefined"
end
cxx << "-march=native" if ENV["ZANTHIC_NATIVE"] == "1"

$CXXFLAGS << " " << cxx.join(" ")
# Only the native interface is exported; keep libstdc++ and libgcc symbols out
# of the dynamic table too.
$LDFLAGS << " -Wl,--exclude-libs,ALL"

$srcs = Dir[File.join(__dir__, "*.cpp")].map { |f| File.basename(f) }.sort
create_makefile("zanthic_ext")
