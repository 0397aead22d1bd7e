#pragma once

#include <boost/iostreams/filtering_stream.hpp>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace futils {
// Text after the last "." of name; empty when there is none.
std::string extensionFile(std::string& name);
}  // namespace futils

// Input stream that decompresses gzip data transparently. The content decides,
// not the name: a file starting with the gzip magic bytes is decompressed
// (multi-member files such as bgzip output read whole), anything else is read
// as plain text. Names ending in "bz2" are refused. The file is read once from its start,
// so a pipe, /dev/stdin or "-" (standard input) reads alike.
class ifile : public boost::iostreams::filtering_istream {
 public:
  ifile() = default;
  ~ifile() override;
  ifile(const ifile&) = delete;
  ifile& operator=(const ifile&) = delete;

  // False when the file cannot be read: failure() then gives the system's reason.
  bool open(std::string name, bool binary = false);
  void close();
  const std::string& failure() const { return failure_; }

  // Reads the next line without its "\n" (and without a trailing "\r").
  // Returns false at the end of the input; a corrupt or truncated compressed
  // stream throws FatalError naming the file and the last line read.
  bool read_line(std::string& line);

  const std::string& name() const { return file_name_; }
  std::uint64_t lines_read() const { return lines_read_; }
  bool compressed() const { return compressed_; }

 private:
  std::string file_name_;
  std::string failure_;
  std::ifstream file_;
  std::uint64_t lines_read_ = 0;
  bool compressed_ = false;
};

// The name that reads standard input, as bcftools takes it.
constexpr char kStandardInput[] = "-";
// Whether a name is read as a stream (standard input, a pipe, a terminal or a socket), which
// can be read only once from its start and has no index beside it.
bool is_stream(const std::string& name);
// "ERROR! Can't open <what><name>: <the system's reason>" for an ifile that failed to open.
std::string cannot_open(const std::string& what, const ifile& in);

// One-delimiter splitters; empty pieces are kept, an empty text gives one empty piece.
int tokenize_semicol_max(std::string& text, std::vector<std::string>& pieces);  // ","
int tokenize_semicol_min(std::string& text, std::vector<std::string>& pieces);  // ","
int tokenize_gl(std::string& text, std::vector<std::string>& pieces);           // ":"

// Splits text at every occurrence of delimiter into views (empty fields kept).
void split_views(std::string_view text, char delimiter, std::vector<std::string_view>& fields);
// Splits text at runs of blanks, tabs and carriage returns (no empty fields).
void split_whitespace(std::string_view text, std::vector<std::string_view>& fields);

// "ERROR! file:line: ", the start of a message about one line of an input file.
std::string error_prefix(const std::string& file_name, std::uint64_t line_number);

// Removes one trailing "\r" (files written on Windows).
void strip_carriage_return(std::string& line);
bool is_blank(std::string_view text);

// Whole-token number parsing: the entire text must be the number.
std::optional<std::int64_t> parse_integer(std::string_view text);
std::optional<double> parse_finite_double(std::string_view text);

class OutputSink;

// On SIGINT or SIGTERM, says so on standard error, removes the temporary files of every
// output not yet published, then ends the process with that signal.
void remove_temporary_outputs_on_signals();
// The interruption is also noted in this open file (a run's log); -1: standard error alone.
void note_interruptions_in(int fd);

// An output file that appears under its name only once it is complete: data goes
// to a temporary file beside the target, and commit() checks for write errors
// and renames it. A file that was never committed is removed. A name ending in ".gz" is
// written BGZF-compressed (as bgzip writes it), one ending in ".bcf" as BCF; "-" is
// standard output, written as it goes.
class OutputFile {
 public:
  // What is written: a VCF is converted to BCF when its name ends in ".bcf", and an indexed
  // one also gets its index (tabix for ".gz", CSI for ".bcf") on commit.
  enum class Kind { kText, kVcf, kIndexedVcf };

  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The temporary index's suffix, whatever the kind of index.
  static constexpr char kIndexSuffix[] = ".tbi";
  // The name that writes to standard output instead of a file (uncompressed VCF).
  static constexpr char kStandardOutput[] = "-";
  // The index an output gets beside it: tabix for NAME.gz, CSI for NAME.bcf, else "".
  static std::string index_name(const std::string& path);

  // Creates the temporary file; false when the target, or its index, cannot be written
  // (unwritable() names which, failure() gives the system's reason).
  bool open(const std::string& path, Kind kind = Kind::kText);
  const std::string& unwritable() const { return unwritable_; }
  const std::string& failure() const { return failure_; }
  bool is_open() const { return sink_ != nullptr; }
  std::ostream& stream() { return stream_; }
  const std::string& path() const { return path_; }
  // Flushes, closes (and indexes) and renames; throws FatalError on any write error.
  void commit();
  // commit() in two steps, so that several outputs appear only when all are complete:
  // finish() flushes, closes and indexes the temporary file, publish() renames it.
  void finish();
  void publish();
  // publish() for each, or for none: when one fails, those already published are removed.
  static void publish_all(const std::vector<OutputFile*>& outputs);
  // Closes and removes the temporary files.
  void discard();

 private:
  // The names it appears under: the file and its index.
  std::vector<std::string> targets() const;

  std::string path_;
  std::string unwritable_;
  std::string failure_;
  std::string temp_path_;
  bool index_vcf_ = false;
  bool bcf_ = false;  // converted to BCF when complete
  std::unique_ptr<OutputSink> sink_;
  std::ostream stream_;
};
