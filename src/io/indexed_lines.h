#pragma once

// Reading only a region of a bgzipped text file through its tabix or CSI index.

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <utility>

class IndexedLineBuffer;

// The header lines of the file (those starting with the index's meta character, "#" for
// VCF) followed by every line overlapping [begin, end] of each sequence the index names,
// in the index's order, each ending in "\n". The stream owns the open file.
class IndexedRegion : public std::istream {
 public:
  ~IndexedRegion() override;
  // Data lines delivered so far (the header lines not counted).
  std::uint64_t records_read() const;

 private:
  friend std::unique_ptr<IndexedRegion> open_indexed_region(const std::string&, std::uint64_t,
                                                            std::uint64_t, const std::string&,
                                                            const std::string&);
  explicit IndexedRegion(std::unique_ptr<IndexedLineBuffer> buffer);
  std::unique_ptr<IndexedLineBuffer> buffer_;
};

// Null when the file is not BGZF or has no index beside it (NAME.tbi or NAME.csi): read it
// whole then. Throws FatalError naming both files when an index is there but htslib cannot
// use it for this file, and when reading through it fails. A chromosome the index names is
// read alone; one it does not name is an error when it names several (a single other one is
// read, for the reader to judge); "" reads every sequence. chromosome_source names what asked
// for the chromosome (an option or a file) in that error.
std::unique_ptr<IndexedRegion> open_indexed_region(const std::string& file, std::uint64_t begin,
                                                   std::uint64_t end,
                                                   const std::string& chromosome = "",
                                                   const std::string& chromosome_source = "");

struct htsFile;
// Throws FatalError naming the file when it is BGZF-compressed and lacks the end-of-file
// block bgzip writes last: it was cut short, and htslib would read it as complete.
void refuse_truncated_bgzf(htsFile* fp, const std::string& file);

// [begin, end], 1-based and closed, as htslib's 0-based, end-exclusive region bounds.
std::pair<std::int64_t, std::int64_t> htslib_region(std::uint64_t begin, std::uint64_t end);

// The file's name in messages about lines read through its index, which count lines from
// the first one read.
std::string indexed_lines_name(const std::string& file);
