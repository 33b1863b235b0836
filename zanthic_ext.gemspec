# frozen_string_literal: true

Gem::Specification.new do |spec|
  spec.name = "zanthic_ext"
  spec.version = "0.1.0"
  spec.summary = "Dense vectors, matrices and Jacobi SVD in native memory for latent semantic indexing"
  spec.description = <<~TEXT
    Zanthic::Linalg::Vector and Zanthic::Linalg::Matrix hold IEEE doubles in native
    memory and provide arithmetic, blocked matrix products, a Jacobi singular value
    decomposition, an incremental SVD update, batch projection and Marshal support,
    plus a C interface for other native extensions.
  TEXT
  spec.authors = ["Zanthic developers"]
  spec.license = "MIT"
  spec.required_ruby_version = ">= 3.1"
  spec.files = Dir["ext/**/*.{rb,h,cpp}", "lib/**/*.rb", "README.md"]
  spec.extensions = ["ext/zanthic_ext/extconf.rb"]
  spec.require_paths = ["lib"]
end
