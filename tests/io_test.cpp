#include "io/io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_util.h"
#include "util/errors.h"

namespace {

std::vector<std::string> read_all(ifile& in) {
  std::vector<std::string> lines;
  std::string line;
  while (in.read_line(line)) lines.push_back(line);
  return lines;
}

const std::string kText = "#header\nline two\r\nline three\nlast line without newline";

}  // namespace

TEST(ExtensionFile, TextAfterLastDot) {
  std::string a = "a.vcf.gz", b = "a", c = "a.", d = "dir.x/file.bz2";
  EXPECT_EQ(futils::extensionFile(a), "gz");
  EXPECT_EQ(futils::extensionFile(b), "");
  EXPECT_EQ(futils::extensionFile(c), "");
  EXPECT_EQ(futils::extensionFile(d), "bz2");
}

TEST(Tokenizers, LengthsAndPiecesKeepEmptyFields) {
  std::vector<std::string> pieces;
  std::string alts = "A,CTG,GA";
  EXPECT_EQ(tokenize_semicol_max(alts, pieces), 3);
  EXPECT_EQ(pieces, (std::vector<std::string>{"A", "CTG", "GA"}));
  EXPECT_EQ(tokenize_semicol_min(alts, pieces), 1);
  EXPECT_EQ(pieces.size(), 3u);

  std::string format = "GT:GL:DP", empty, gaps = "a::b";
  EXPECT_EQ(tokenize_gl(format, pieces), 3);
  EXPECT_EQ(tokenize_gl(empty, pieces), 1);
  EXPECT_EQ(pieces, std::vector<std::string>{""});
  EXPECT_EQ(tokenize_gl(gaps, pieces), 3);
  EXPECT_EQ(pieces[1], "");
}

TEST(Splitters, ViewsKeepEmptyFieldsWhitespaceFolds) {
  std::vector<std::string_view> fields;
  split_views("a\t\tb\t", '\t', fields);
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[1], "");
  EXPECT_EQ(fields[3], "");
  split_whitespace("  x \t y\r", fields);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[1], "y");
  split_whitespace(" \t ", fields);
  EXPECT_TRUE(fields.empty());
}

TEST(NumberParsing, WholeTokensOnly) {
  EXPECT_EQ(parse_integer("42"), 42);
  EXPECT_EQ(parse_integer("-7"), -7);
  EXPECT_EQ(parse_integer("+7"), 7);
  EXPECT_FALSE(parse_integer("10x"));
  EXPECT_FALSE(parse_integer(""));
  EXPECT_FALSE(parse_integer(" 1"));
  EXPECT_FALSE(parse_integer("1.5"));
  EXPECT_FALSE(parse_integer("99999999999999999999999"));
  EXPECT_DOUBLE_EQ(*parse_finite_double("0.06"), 0.06);
  EXPECT_DOUBLE_EQ(*parse_finite_double("-1e-3"), -1e-3);
  EXPECT_FALSE(parse_finite_double("nan"));
  EXPECT_FALSE(parse_finite_double("inf"));
  EXPECT_FALSE(parse_finite_double("abc"));
  EXPECT_FALSE(parse_finite_double("0.5 "));
}

TEST(Ifile, PlainAndCompressedReadTheSameLines) {
  TempDir dir;
  const std::string plain = dir.write("a.vcf", kText);
  write_gzip(dir.file("a.vcf.gz"), kText);
  // Two members, as bgzip writes them, and names that do not say gzip.
  write_gzip(dir.file("multi.vcf.gz"), kText, {5, 20});
  write_gzip(dir.file("upper.VCF.GZ"), kText);
  write_gzip(dir.file("noext"), kText);

  ifile reference;
  ASSERT_TRUE(reference.open(plain));
  const auto expected = read_all(reference);
  ASSERT_EQ(expected.size(), 4u);
  EXPECT_EQ(expected[1], "line two");
  EXPECT_FALSE(reference.compressed());

  for (const std::string name : {"a.vcf.gz", "multi.vcf.gz", "upper.VCF.GZ", "noext"}) {
    ifile in;
    ASSERT_TRUE(in.open(dir.file(name))) << name;
    EXPECT_TRUE(in.compressed()) << name;
    EXPECT_EQ(read_all(in), expected) << name;
  }
}

TEST(Ifile, PlainFileNamedGzIsReadAsText) {
  TempDir dir;
  ifile in;
  ASSERT_TRUE(in.open(dir.write("plain.vcf.gz", kText)));
  EXPECT_FALSE(in.compressed());
  EXPECT_EQ(read_all(in).size(), 4u);
}

TEST(Ifile, BgzipOutputReadsWhole) {
  ASSERT_TRUE(file_exists("/usr/bin/bgzip")) << "bgzip is missing: run scripts/install-deps.sh";
  TempDir dir;
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "20\t" + std::to_string(i) + "\t.\tA\tG\n";
  dir.write("big.vcf", big);
  ASSERT_EQ(run_shell("bgzip -f " + dir.file("big.vcf")).status, 0);
  ifile in;
  ASSERT_TRUE(in.open(dir.file("big.vcf.gz")));
  const auto lines = read_all(in);
  ASSERT_EQ(lines.size(), 20000u);
  EXPECT_EQ(lines.back(), "20\t19999\t.\tA\tG");
}

TEST(Ifile, MissingFilesDoNotOpenAndBz2IsOneError) {
  TempDir dir;
  ifile missing;
  EXPECT_FALSE(missing.open(dir.file("absent.vcf")));
  ifile bz2;
  testing::internal::CaptureStderr();
  EXPECT_THROW(bz2.open(dir.write("a.vcf.bz2", kText)), FatalError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Ifile, TruncatedOrCorruptGzipIsAnError) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + " with some text\n";
  write_gzip(dir.file("full.gz"), text);
  const std::string bytes = read_file(dir.file("full.gz"));

  for (const std::size_t keep : {bytes.size() / 2, bytes.size() - 4}) {
    dir.write("cut.gz", bytes.substr(0, keep));
    ifile in;
    ASSERT_TRUE(in.open(dir.file("cut.gz")));
    try {
      read_all(in);
      FAIL() << "truncated input read without error (kept " << keep << " bytes)";
    } catch (const FatalError& error) {
      EXPECT_NE(std::string(error.what()).find("cut.gz"), std::string::npos);
      EXPECT_NE(std::string(error.what()).find("after line"), std::string::npos);
    }
  }

  std::string corrupt = bytes;
  for (std::size_t i = 20; i < 60; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
  dir.write("corrupt.gz", corrupt);
  ifile in;
  ASSERT_TRUE(in.open(dir.file("corrupt.gz")));
  EXPECT_THROW(read_all(in), FatalError);
}

TEST(OutputFile, AppearsOnlyWhenCommitted) {
  TempDir dir;
  const std::string target = dir.file("out.vcf");
  {
    OutputFile out;
    ASSERT_TRUE(out.open(target));
    out.stream() << "partial\n";
    EXPECT_FALSE(file_exists(target));
  }
  EXPECT_FALSE(file_exists(target));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  OutputFile out;
  ASSERT_TRUE(out.open(target));
  out.stream() << "complete\n";
  out.commit();
  EXPECT_EQ(read_file(target), "complete\n");
}

TEST(OutputFile, UnwritableTargetsAreRefused) {
  TempDir dir;
  OutputFile in_missing_dir;
  EXPECT_FALSE(in_missing_dir.open(dir.file("no/such/dir/out.vcf")));
  OutputFile onto_directory;
  EXPECT_FALSE(onto_directory.open(dir.path()));
}

// A compressed VCF's index is one of the outputs: when its name is taken by a directory
// after the outputs were opened, none of them appears.
TEST(OutputFile, PublishedAllOrNoneIndexIncluded) {
  TempDir dir;
  {
    OutputFile mp;
    OutputFile vcf;
    ASSERT_TRUE(mp.open(dir.file("out.mp")));
    ASSERT_TRUE(vcf.open(dir.file("out.vcf.gz"), OutputFile::Kind::kIndexedVcf));
    mp.stream() << "5 A C 1 0 0\n";
    vcf.stream() << "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
                    "20\t5\t.\tA\tC\t.\tPASS\t.\n";
    mp.finish();
    vcf.finish();
    std::filesystem::create_directory(dir.file("out.vcf.gz.tbi"));
    try {
      OutputFile::publish_all({&mp, &vcf});
      ADD_FAILURE() << "published onto a directory";
    } catch (const FatalError& error) {
      EXPECT_NE(std::string(error.what()).find("out.vcf.gz.tbi: it is a directory"),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(run_shell("ls '" + dir.path() + "'").out, "out.vcf.gz.tbi\n");
}
