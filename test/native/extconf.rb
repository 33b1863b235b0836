# frozen_string_literal: true

# A test-only extension that uses zanthic_ext's native interface the way
# another extension would: it includes the shared header and calls the
# exported functions, resolved when zanthic_ext is already loaded.
require "mkmf"

# The header's directory; an extension outside this tree asks the installed
# gem for it (Zanthic::Linalg.include_dir). Loading the library here would
# not work for the sanitizer build.
$INCFLAGS << " -I" << File.expand_path("../../ext/zanthic_ext/include", __dir__)
$CFLAGS << " -std=c11 -Wall -Wextra -Wno-unused-parameter"
if ENV["ZANTHIC_SANITIZE"] == "1"
  $CFLAGS << " -fsanitize=address,undefined -fno-omit-frame-pointer"
  # As for the extension: no stack redzones, since a Ruby exception longjmps
  # over these frames and would leave theirs poisoned.
  $CFLAGS << " --param=asan-stack=0"
  $LDFLAGS << " -fsanitize=address,undefined"
end
# No library to link: zanthic_ext's symbols stay undefined in this shared
# object and resolve against the extension that require "zanthic_ext"
# loaded first (Ruby loads extensions with RTLD_GLOBAL).
create_makefile("zanthic_consumer")
