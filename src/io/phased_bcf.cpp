#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/hts_endian.h>
#include <htslib/vcf.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "io/indexed_lines.h"
#include "io/io.h"
#include "io/phased_records.h"
#include "util/errors.h"

namespace {

struct HtsDeleter {
  void operator()(htsFile* p) const { hts_close(p); }
  void operator()(bcf_hdr_t* p) const { bcf_hdr_destroy(p); }
  void operator()(bcf1_t* p) const { bcf_destroy(p); }
  void operator()(hts_idx_t* p) const { hts_idx_destroy(p); }
  void operator()(hts_itr_t* p) const { hts_itr_destroy(p); }
};
template <typename T>
using HtsPtr = std::unique_ptr<T, HtsDeleter>;

// A sample's GT as VCF writes it: "0|1", "0/1", ".|0", "1" (haploid), "." (missing).
std::string genotype_text(const std::int32_t* alleles, int ploidy) {
  std::string text;
  for (int i = 0; i < ploidy && alleles[i] != bcf_int32_vector_end; ++i) {
    if (i > 0) text += bcf_gt_is_phased(alleles[i]) ? '|' : '/';
    if (alleles[i] == bcf_int32_missing || bcf_gt_is_missing(alleles[i])) {
      text += '.';
    } else {
      text += std::to_string(bcf_gt_allele(alleles[i]));
    }
  }
  return text.empty() ? "." : text;
}

// The #CHROM line's sample names of a BCF header htslib would not read, so that a sample
// named twice, which htslib refuses without naming it, is reported.
std::vector<std::string> raw_header_samples(const std::string& file) {
  BGZF* fp = bgzf_open(file.c_str(), "r");
  if (fp == nullptr) return {};
  char magic[5];
  std::uint8_t length_bytes[4];
  std::string text;
  if (bgzf_read(fp, magic, sizeof magic) == sizeof magic &&
      bgzf_read(fp, length_bytes, sizeof length_bytes) == sizeof length_bytes) {
    const std::uint32_t length = le_to_u32(length_bytes);
    // In blocks, so a damaged length costs no more than the file holds.
    char block[1 << 16];
    for (ssize_t got = 1; text.size() < length && got > 0;) {
      got = bgzf_read(fp, block, std::min<std::size_t>(sizeof block, length - text.size()));
      if (got > 0) text.append(block, static_cast<std::size_t>(got));
    }
  }
  bgzf_close(fp);
  const std::size_t start = text.find("\n#CHROM\t");
  if (start == std::string::npos) return {};
  const std::size_t from = start + 1;
  std::vector<std::string_view> fields;
  split_views(std::string_view(text).substr(from, text.find('\n', from) - from), '\t', fields);
  return {fields.size() > 9 ? fields.begin() + 9 : fields.end(), fields.end()};
}

class BcfSource : public PhasedSource {
 public:
  BcfSource(PhasedVcfSettings settings, std::uint64_t begin, std::uint64_t end)
      : PhasedSource(std::move(settings)), region_(htslib_region(begin, end)) {
    const std::string& file = settings_.file_name;
    name_ = file + " (lines are its records)";
    errno = 0;
    file_.reset(hts_open(file.c_str(), "r"));
    if (file_ == nullptr) {
      throw FatalError("ERROR! Can't open " + file + ": " +
                       std::strerror(errno != 0 ? errno : EIO));
    }
    refuse_truncated_bgzf(file_.get(), file);
    header_.reset(bcf_hdr_read(file_.get()));
    if (header_ == nullptr) {
      check_samples_unique(raw_header_samples(file), "ERROR! " + file + ": ");
      throw FatalError("ERROR! " + file + ": its BCF header cannot be read");
    }
    std::vector<std::string> samples;
    for (int s = 0; s < bcf_hdr_nsamples(header_.get()); ++s) {
      samples.emplace_back(header_->samples[s]);
    }
    choose_samples(samples, "ERROR! " + file + ": ");
    record_.reset(bcf_init());
    open_index();
  }
  ~BcfSource() override { std::free(genotypes_); }

  bool next_line(std::string& line) override {
    line.clear();
    if (!read_record()) return false;
    ++records_;
    bcf1_t* record = record_.get();
    if (bcf_unpack(record, BCF_UN_STR) < 0) fail("decoding record " + std::to_string(records_));
    const char* chrom = bcf_seqname(header_.get(), record);
    if (skipped(chrom != nullptr ? chrom : "", record->n_allele > 2)) return true;
    const std::string pos = std::to_string(record->pos + 1);
    const std::string prefix = record_prefix(settings_.file_name, 0, chrom, pos);
    const int count = bcf_get_genotypes(header_.get(), record, &genotypes_, &capacity_);
    const int sample_count = bcf_hdr_nsamples(header_.get());
    if (count <= 0 || count % sample_count != 0) throw_missing_gt(prefix, format_keys());
    const int ploidy = count / sample_count;
    texts_.clear();
    for (const std::size_t c : columns_) {
      texts_.push_back(genotype_text(genotypes_ + c * static_cast<std::size_t>(ploidy), ploidy));
    }
    text_.genotypes.assign(texts_.begin(), texts_.end());
    text_.chrom = chrom;
    text_.id = record->d.id;
    text_.pos = pos;
    text_.ref = record->d.allele[0];
    text_.alt = record->n_allele > 1 ? record->d.allele[1] : ".";
    if (!phased_layout_line(text_, chosen_names_, prefix, line)) ++without_alt_;
    return true;
  }

  std::optional<std::uint64_t> indexed_records() const override {
    if (index_ == nullptr) return std::nullopt;
    return records_;
  }

 private:
  // With NAME.csi, the region of every sequence the index names, in its order.
  void open_index() {
    const std::string& file = settings_.file_name;
    const std::string index = file + ".csi";
    struct stat info {};
    if (::stat(index.c_str(), &info) != 0) return;
    index_.reset(bcf_index_load2(file.c_str(), index.c_str()));
    if (index_ == nullptr) {
      throw FatalError("ERROR! The index " + index + " cannot be used for " + file +
                       "; rebuild it with bcftools index");
    }
    // htslib names the index's sequences from the header, reading past its contigs (and
    // crashing) for an index of a file with more of them.
    const bool more_sequences = hts_idx_nseq(index_.get()) > header_->n[BCF_DT_CTG];
    int count = 0;
    const char** names =
        more_sequences ? nullptr : bcf_index_seqnames(index_.get(), header_.get(), &count);
    for (int i = 0; i < count; ++i) {
      sequences_.push_back(names[i] != nullptr ? bcf_hdr_name2id(header_.get(), names[i]) : -1);
    }
    std::free(names);
    if (more_sequences || !index_fits()) {
      throw FatalError("ERROR! The index " + index + " does not fit " + file +
                       " (made for another file, or the file changed since); rebuild it with "
                       "bcftools index");
    }
    // The run's chromosome alone when the index holds it: the others' records are skipped
    // anyway, and a whole genome's would be read for nothing.
    const int run_id = bcf_hdr_name2id(header_.get(), settings_.chromosome.c_str());
    if (run_id >= 0 &&
        std::find(sequences_.begin(), sequences_.end(), run_id) != sequences_.end()) {
      sequences_ = {run_id};
    }
    name_ = file + " (lines are the records read through its index)";
  }

  // An index made for another file, or before records were appended, may load but point
  // elsewhere, which would silently lose records. It must find the file's first record, and
  // no record may follow where its records end.
  bool index_fits() {
    HtsPtr<bcf1_t> first(bcf_init());
    const int status = bcf_read(file_.get(), header_.get(), first.get());
    if (status < 0) return status == -1 && sequences_.empty();
    std::uint64_t end = 0;
    for (const int id : sequences_) {
      HtsPtr<hts_itr_t> all(id < 0 ? nullptr : bcf_itr_queryi(index_.get(), id, 0, HTS_POS_MAX));
      if (all == nullptr) return false;
      for (int i = 0; i < all->n_off; ++i) end = std::max<std::uint64_t>(end, all->off[i].v);
    }
    HtsPtr<hts_itr_t> query(bcf_itr_queryi(index_.get(), first->rid, first->pos, first->pos + 1));
    bcf1_t* record = record_.get();
    bool found = false;
    while (!found && query != nullptr && bcf_itr_next(file_.get(), query.get(), record) >= 0) {
      found = record->rid == first->rid && record->pos == first->pos &&
              record->shared.l == first->shared.l && record->indiv.l == first->indiv.l &&
              std::memcmp(record->shared.s, first->shared.s, first->shared.l) == 0;
    }
    return found && bgzf_seek(file_->fp.bgzf, static_cast<std::int64_t>(end), SEEK_SET) == 0 &&
           bcf_read(file_.get(), header_.get(), record) == -1;
  }

  bool read_record() {
    if (index_ == nullptr) {
      const int status = bcf_read(file_.get(), header_.get(), record_.get());
      if (status < -1) fail("reading after record " + std::to_string(records_));
      return status == 0;
    }
    for (;;) {
      if (iterator_ == nullptr) {
        if (next_sequence_ >= sequences_.size()) return false;
        iterator_.reset(bcf_itr_queryi(index_.get(), sequences_[next_sequence_++], region_.first,
                                       region_.second));
        if (iterator_ == nullptr) fail("querying the region");
      }
      const int status = bcf_itr_next(file_.get(), iterator_.get(), record_.get());
      if (status >= 0) return true;
      if (status < -1) fail("reading after record " + std::to_string(records_));
      iterator_.reset();
    }
  }

  std::string format_keys() const {
    bcf1_t* record = record_.get();
    bcf_unpack(record, BCF_UN_FMT);
    std::string keys;
    for (int i = 0; i < record->n_fmt; ++i) {
      if (i > 0) keys += ':';
      keys += header_->id[BCF_DT_ID][record->d.fmt[i].id].key;
    }
    return keys;
  }

  [[noreturn]] void fail(const std::string& what) const {
    const std::string& file = settings_.file_name;
    if (index_ == nullptr) {
      throw FatalError("ERROR! " + file + ": " + what +
                       " failed; the file is corrupt or truncated");
    }
    throw FatalError("ERROR! " + file + ": " + what + " through the index " + file +
                     ".csi failed; the index does not fit the file (rebuild it with bcftools "
                     "index)");
  }

  const std::pair<std::int64_t, std::int64_t> region_;
  HtsPtr<htsFile> file_;
  HtsPtr<bcf_hdr_t> header_;
  HtsPtr<bcf1_t> record_;
  HtsPtr<hts_idx_t> index_;
  HtsPtr<hts_itr_t> iterator_;
  std::vector<int> sequences_;
  std::size_t next_sequence_ = 0;
  std::uint64_t records_ = 0;
  std::int32_t* genotypes_ = nullptr;  // htslib reallocates it
  int capacity_ = 0;
  std::vector<std::string> texts_;
  PhasedRecord text_;  // views into texts_ and the record
};

}  // namespace

std::unique_ptr<PhasedSource> open_bcf_source(const PhasedVcfSettings& settings,
                                              std::uint64_t begin, std::uint64_t end) {
  return std::make_unique<BcfSource>(settings, begin, end);
}
