#pragma once

// A BCF file read as VCF text, so the likelihood reader takes it with all its checks.

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

class BcfTextBuffer;

// The header's lines, then one line per record, each ending in "\n".
class BcfText : public std::istream {
 public:
  explicit BcfText(std::unique_ptr<BcfTextBuffer> buffer);
  ~BcfText() override;
  // Records delivered so far.
  std::uint64_t records_read() const;
  // Whether the records come through the file's index.
  bool indexed() const;

 private:
  std::unique_ptr<BcfTextBuffer> buffer_;
};

// A VCF (plain, gzip or bgzip) or BCF read once from a stream (standard input as "-", a
// pipe), as VCF text: the lines of a VCF as they are, a BCF as BcfText gives it. Throws
// FatalError naming the stream when it cannot be opened or read.
std::unique_ptr<std::istream> open_streamed_vcf(const std::string& name);

// Null when the file is not a BCF. With NAME.csi beside it, only the records overlapping
// [begin, end] are read: of the chromosome when the index names it, else of every sequence.
// Throws FatalError naming the file when htslib cannot read it.
std::unique_ptr<BcfText> open_bcf_text(const std::string& file, std::uint64_t begin,
                                       std::uint64_t end, const std::string& chromosome);
