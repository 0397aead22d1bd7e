#include "io/chromosome_names.h"

bool differ_by_chr_prefix(std::string_view a, std::string_view b) {
  auto without = [](std::string_view name) {
    return name.substr(0, 3) == "chr" ? name.substr(3) : name;
  };
  return a != b && without(a) == without(b);
}

std::string chromosome_mismatch(const std::string& source, const std::string& name,
                                const std::string& other_source, const std::string& other_name) {
  return "ERROR! The chromosome names differ: " + source + " names '" + name + "', " +
         other_source + " names '" + other_name + "'" +
         (differ_by_chr_prefix(name, other_name)
              ? " (only the 'chr' prefix differs; rename one, e.g. with bcftools annotate "
                "--rename-chrs)"
              : "");
}
