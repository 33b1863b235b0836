# frozen_string_literal: true

# An extension of another gem that calls zanthic_ext's native interface,
# configured the way such a gem would: the header's directory comes from the
# installed zanthic_ext.
require "mkmf"
require "zanthic_ext"

$INCFLAGS << " -I" << Zanthic::Linalg.include_dir
abort "zanthic_ext.h not found in #{Zanthic::Linalg.include_dir}" unless have_header("zanthic_ext.h")
$CFLAGS << " -std=c11 -Wall -Wextra -Wno-unused-parameter -Werror"
create_makefile("zanthic_dependent")
