# frozen_string_literal: true

# A test-only extension that uses zanthic_ext's native interface the way
# another extension would: it includes the shared header and calls the
# exported functions, resolved when zanthic_ext is already loaded.
require "mkmf"

$INCFLAGS << " -I" << File.expand_path("../../ext/zanthic_ext", __dir__)
$CFLAGS << " -std=c11 -Wall -Wextra -Wno-unused-parameter"
if ENV["ZANTHIC_SANITIZE"] == "1"
  $CFLAGS << " -fsanitize=address,undefined -fno-omit-frame-pointer"
  # As for the extension: no stack redzones, since a Ruby exception longjmps
  # over these frames and would leave theirs poisoned.
  $CFLAGS << " --param=asan-stack=0"
  $LDFLAGS << " -fsanitize=address,undefined"
end
# zanthic_ext's symbols come from the already loaded extension, not from a
# library given at link time.
$LDFLAGS << " -Wl,--allow-shlib-undefined"
create_makefile("zanthic_consumer")
