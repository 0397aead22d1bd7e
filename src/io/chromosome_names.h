#pragma once

#include <string>
#include <string_view>

// Whether two chromosome names differ only by a "chr" before one of them ("chr20", "20").
bool differ_by_chr_prefix(std::string_view a, std::string_view b);

// The one-line error for inputs that name the run's chromosome differently: each source
// (a file, or "--region") with the name it uses, and whether only a "chr" prefix differs.
std::string chromosome_mismatch(const std::string& source, const std::string& name,
                                const std::string& other_source, const std::string& other_name);
