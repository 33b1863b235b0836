# frozen_string_literal: true

require_relative "zanthic_ext/version"
# The compiled library. Found through the load path rather than relative to
# this file, so that a build earlier on the path (a sanitizer build under
# test) is the one loaded.
require "zanthic_ext/zanthic_ext"

module Zanthic
  module Linalg
    # The directory holding zanthic_ext.h, the native interface, for the
    # extconf.rb of an extension that calls it:
    #
    #   require "zanthic_ext"
    #   $INCFLAGS << " -I" << Zanthic::Linalg.include_dir
    #
    # The extension then does <tt>require "zanthic_ext"</tt> before its own
    # library loads; the interface's functions resolve against the loaded one.
    def self.include_dir
      File.expand_path("../ext/zanthic_ext/include", __dir__)
    end
  end
end
