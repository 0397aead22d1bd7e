#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The 0/1 alleles of sites in ascending position, eight to a byte in one array: a scaffold
// of 2N haplotypes keeps 2N / 8 bytes and its position per site, where a map of byte
// vectors took about 2N + 100, so a long region barely adds to the run's memory.
class SiteRows {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  SiteRows() = default;
  explicit SiteRows(std::size_t width) : width_(width), stride_((width + 7) / 8) {}

  // Adds a site after the last one; row holds width() values, each 0 or 1. A position not
  // above the last one is refused (false): the first row of a position wins.
  bool append(std::uint64_t position, const std::vector<std::uint8_t>& row);
  // The site's index, or npos.
  std::size_t index_of(std::uint64_t position) const;
  bool contains(std::uint64_t position) const { return index_of(position) != npos; }
  int allele(std::size_t site, std::size_t column) const {
    return (bits_[site * stride_ + column / 8] >> (column % 8)) & 1;
  }
  // The site's alleles, one byte each.
  std::vector<std::uint8_t> row(std::size_t site) const;

  const std::vector<std::uint64_t>& positions() const { return positions_; }
  std::size_t size() const { return positions_.size(); }
  std::size_t width() const { return width_; }
  // Frees the room kept for more sites once the last is read.
  void shrink_to_fit();

 private:
  std::size_t width_ = 0;
  std::size_t stride_ = 0;  // bytes per site
  std::vector<std::uint64_t> positions_;
  std::vector<std::uint8_t> bits_;
};
