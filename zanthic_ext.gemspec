# frozen_string_literal: true

require_relative "lib/zanthic_ext/version"

Gem::Specification.new do |spec|
  spec.name = "zanthic_ext"
  spec.version = Zanthic::Linalg::VERSION
  spec.summary = "Dense vectors, matrices and Jacobi SVD in native memory for latent semantic indexing"
  spec.description = <<~TEXT
    Zanthic::Linalg::Vector and Zanthic::Linalg::Matrix hold IEEE doubles in native
    memory and provide arithmetic, blocked matrix products, a Jacobi singular value
    decomposition, an incremental SVD update, batch projection and Marshal support,
    plus a C interface for other native extensions (Zanthic::Linalg.include_dir).
  TEXT
  spec.authors = ["Zanthic developers"]
  spec.license = "MIT"
  spec.required_ruby_version = ">= 3.1"
  spec.files = Dir["ext/**/*.{rb,h,cpp}", "lib/**/*.rb", "README.md", "LICENSE", "CHANGELOG.md"]
  spec.extensions = ["ext/zanthic_ext/extconf.rb"]
  spec.require_paths = ["lib"]
  spec.metadata = { "rubygems_mfa_required" => "true" }
end
