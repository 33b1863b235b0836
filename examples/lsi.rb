# frozen_string_literal: true

# Latent semantic indexing on the small corpus in examples/corpus:
#
#   1. read and tokenize the base documents, the documents that arrive later
#      and the queries;
#   2. build a term-document matrix of log-tf x idf weights, one unit-length
#      column per document;
#   3. decompose it with Matrix#svd and keep the strongest concepts;
#   4. fold the later documents in one at a time with
#      Matrix#incremental_svd_update, without decomposing everything again;
#   5. project every document and every query into concept space with
#      Matrix#batch_project and rank documents by cosine similarity.
#
# Run with `rake demo` (or `ruby -Ilib examples/lsi.rb` after `rake compile`).
require "zanthic_ext"

module LsiDemo
  Matrix = Zanthic::Linalg::Matrix
  Vector = Zanthic::Linalg::Vector

  CORPUS = File.join(__dir__, "corpus")
  # Concepts kept from the decomposition: a few more than the corpus has
  # topics, so that each topic gets a direction and some room is left.
  CONCEPTS = 10
  # A folded-in document adds a direction only if its residual (what the
  # current concepts cannot express) is longer than this (documents are unit
  # vectors, so this is a fraction of the whole document).
  NEW_DIRECTION = 1e-6
  RESULTS_PER_QUERY = 3

  STOPWORDS = %w[
    a about after all allow an and any are as at away be because before begin between both but by can cannot
    each end every far few for from get gets give gives has have help how if in instead into is it its keep keeps
    let later less long make makes may more most much near need needs no not now of often on once one only or
    other our out over per rather same see should side so some such than that the their them then there these
    they this those through time to too turn turns two under until up use uses very what when where whether which
    while who whose will with without would yet you your
  ].freeze

  module_function

  # Lower-case words of three letters or more, stopwords dropped, with
  # plural and -ing endings folded ("galaxies" -> "galaxy", "stars" ->
  # "star", "sailing" -> "sail").
  def tokenize(text)
    text.downcase.scan(/[a-z]+/).filter_map do |word|
      next if word.size < 3 || STOPWORDS.include?(word)

      stem(word)
    end
  end

  # Words whose final "s" is not a plural ending.
  SINGULAR = %w[diabetes series species news lens gas].freeze

  def stem(word)
    return word if SINGULAR.include?(word)
    return word[0...-3] if word.end_with?("ing") && word.size > 6
    return "#{word[0...-3]}y" if word.end_with?("ies") && word.size > 4
    return word[0...-2] if word.match?(/(sh|ch|x)es\z/)
    return word[0...-1] if word.end_with?("s") && !word.match?(/(ss|us|is)\z/) && word.size > 3

    word
  end

  def read_documents(dir)
    Dir[File.join(CORPUS, dir, "*.txt")].sort.map do |path|
      { name: File.basename(path, ".txt"), words: tokenize(File.read(path)) }
    end
  end

  def read_queries
    File.readlines(File.join(CORPUS, "queries.txt"), chomp: true)
        .reject { |line| line.strip.empty? || line.start_with?("#") }
        .map do |line|
          topic, text = line.split(":", 2).map(&:strip)
          { topic: topic, text: text, words: tokenize(text) }
        end
  end

  # (1 + ln tf) x ln(1 + N / df) for the terms of the vocabulary, scaled to
  # unit length; words outside the vocabulary are ignored.
  def weigh(words, index, idf)
    counts = Hash.new(0)
    words.each { |w| counts[w] += 1 if index.key?(w) }
    column = Array.new(index.size, 0.0)
    counts.each { |w, tf| column[index[w]] = (1.0 + Math.log(tf)) * idf[index[w]] }
    norm = Math.sqrt(column.sum { |x| x * x })
    norm.positive? ? column.map { |x| x / norm } : column
  end

  def cosine(a, b)
    na = Math.sqrt(a * a)
    nb = Math.sqrt(b * b)
    na.positive? && nb.positive? ? (a * b) / (na * nb) : 0.0
  end

  def timed(timings, stage)
    start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    result = yield
    timings << [stage, Process.clock_gettime(Process::CLOCK_MONOTONIC) - start]
    result
  end

  def run
    timings = []
    base, incoming, queries = timed(timings, "read and tokenize") do
      [read_documents("base"), read_documents("incoming"), read_queries]
    end

    # Vocabulary and idf over every document the index will hold, so that
    # base and folded-in columns are weighted on one scale.
    index, idf, base_columns, incoming_columns = timed(timings, "term-document weights") do
      documents = base + incoming
      df = Hash.new(0)
      documents.each { |d| d[:words].uniq.each { |w| df[w] += 1 } }
      terms = df.keys.sort
      index = terms.each_with_index.to_h
      idf = terms.map { |t| Math.log(1.0 + documents.size.to_f / df[t]) }
      [index, idf, base.map { |d| weigh(d[:words], index, idf) }, incoming.map { |d| weigh(d[:words], index, idf) }]
    end
    terms = index.keys

    puts "Latent semantic indexing with zanthic_ext"
    puts "  #{base.size} base documents, #{incoming.size} arriving later, #{queries.size} queries"
    puts "  vocabulary of #{terms.size} terms, #{CONCEPTS} concepts kept"
    puts

    # Term-document matrix: one row per term, one column per base document.
    basis, values = timed(timings, "svd of #{terms.size}x#{base.size} matrix") do
      a = Matrix.alloc(*base_columns.transpose)
      u, _v, s = a.svd
      # The decomposition does not sort its values: keep the largest.
      order = s.to_a.each_index.sort_by { |j| [-s[j], j] }.first(CONCEPTS)
      rows = u.to_a.map { |row| order.map { |j| row[j] } }
      [Matrix.alloc(*rows), Vector.alloc(order.map { |j| s[j] })]
    end

    puts "Strongest concepts (largest weights in each basis direction):"
    columns = basis.to_a.transpose
    values.to_a.each_with_index.first(6).each do |value, j|
      top = columns[j].each_with_index.max_by(6) { |x, _| x.abs }.map { |_, i| terms[i] }
      puts format("  %5.3f  %s", value, top.join(", "))
    end
    puts

    puts "Folding in documents as they arrive (and the base document each lands nearest to):"
    fold_times = []
    base_vectors = base_columns.map { |c| Vector.alloc(c) }
    incoming.each_with_index do |doc, i|
      column = Vector.alloc(incoming_columns[i])
      timed(fold_times, doc[:name]) do
        basis, values = basis.incremental_svd_update(values, column, CONCEPTS, NEW_DIRECTION)
      end
      here, *others = basis.batch_project([column] + base_vectors)
      score, nearest = others.each_with_index.map { |o, d| [cosine(here, o), d] }.max
      puts format("  %-22s -> %-26s %5.3f   top values now %s", doc[:name], base[nearest][:name], score,
                  values.to_a.sort.reverse.first(3).map { |v| format("%.3f", v) }.join(" "))
    end
    timings << ["fold in #{incoming.size} documents", fold_times.sum { |_, t| t }]
    puts

    names = base.map { |d| d[:name] } + incoming.map { |d| d[:name] }
    term_space = (base_columns + incoming_columns).map { |c| Vector.alloc(c) }
    query_space = queries.map { |q| Vector.alloc(weigh(q[:words], index, idf)) }
    doc_concepts, query_concepts = timed(timings, "batch projection") do
      [basis.batch_project(term_space), basis.batch_project(query_space)]
    end

    rankings = timed(timings, "ranking") do
      query_concepts.map do |qc|
        doc_concepts.each_index.map { |d| [cosine(qc, doc_concepts[d]), d] }.max_by(RESULTS_PER_QUERY) { |c, _| c }
      end
    end
    # The same queries ranked by plain keyword matching in term space, to
    # show what the concepts add.
    keyword_rankings = query_space.map do |q|
      term_space.each_index.map { |d| [cosine(q, term_space[d]), d] }.max_by(RESULTS_PER_QUERY) { |c, _| c }
    end

    puts "Queries (cosine in concept space; keyword cosine in term space in brackets):"
    queries.each_with_index do |q, i|
      puts "  \"#{q[:text]}\""
      rankings[i].each do |score, d|
        keyword = cosine(query_space[i], term_space[d])
        puts format("      %5.3f  [%4.2f]  %s%s", score, keyword, names[d], d >= base.size ? "  (folded in)" : "")
      end
    end
    puts

    on_topic = lambda do |ranking|
      ranking.each_with_index.sum { |results, i| results.count { |_, d| names[d].start_with?("#{queries[i][:topic]}-") } }
    end
    total = queries.size * RESULTS_PER_QUERY
    puts format("Results on the query's topic: %d of %d with concepts, %d of %d with keywords alone", on_topic.(rankings),
                total, on_topic.(keyword_rankings), total)
    puts

    puts "Time per stage:"
    timings.each { |stage, seconds| puts format("  %-32s %9.3f ms", stage, seconds * 1000) }
  end
end

LsiDemo.run if $PROGRAM_NAME == __FILE__
