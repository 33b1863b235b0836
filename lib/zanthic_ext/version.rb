# frozen_string_literal: true

module Zanthic
  module Linalg
    # The gem's version.
    VERSION = "0.1.0"
  end
end
