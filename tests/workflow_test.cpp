// The Snakemake workflow: chunks joined give the records of one run over the whole region,
// from ready inputs (the bundled example) and from raw ones (reads and an unphased array).
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

const std::string kSource = DORSANE_SOURCE_DIR;
const std::string kExample = kSource + "/examples/";

// Runs the workflow on glfs (the config's three chunks of 10000 bp cover the example's
// region 1000000-1028806) and one dorsane run over the whole region; compares their records.
void expect_chunks_join_to_the_whole(const TempDir& dir, const std::string& glfs) {
  const std::string config = "dorsane=" + std::string(DORSANE_BINARY) + " glfs=" + glfs +
                             " scaffold=" + kExample + "scaffold.txt samples=" + kExample +
                             "samples.txt outdir=" + dir.file("out");
  const RunResult flow = run_shell("snakemake -q -s '" + kSource + "/workflow/Snakefile' " +
                                   "--configfile '" + kSource + "/workflow/config.yaml' -d '" +
                                   dir.path() + "' --cores 2 --config " + config + " 2>&1");
  ASSERT_EQ(flow.status, 0) << flow.out;
  ASSERT_TRUE(file_exists(dir.file("out/chunks/chunk_2.vcf.gz")));
  const RunResult whole =
      run_dorsane({"--sample-file", kExample + "samples.txt", "--glfs", glfs, "--scaffold-file",
                   kExample + "scaffold.txt", "--int", "1000000", "1029994", "--numsnps", "15",
                   "--dosage", "--seed", "7", "--o", dir.file("whole.vcf")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const RunResult joined = run_shell("bcftools view -H '" + dir.file("out/calls.vcf.gz") + "'");
  const RunResult one = run_shell("bcftools view -H '" + dir.file("whole.vcf") + "'");
  ASSERT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, one.out);
  EXPECT_GT(joined.out.size(), 1000u);
}

}  // namespace

TEST(Workflow, ChunksJoinedGiveTheRecordsOfOneRun) {
  TempDir dir;
  expect_chunks_join_to_the_whole(dir, kExample + "gl.vcf.gz");
}

TEST(Workflow, RepeatedPositionAtAChunksEndIsNeitherSplitNorDuplicated) {
  // Three records at 1009999, the first chunk's last position, and one at 1010000, the
  // second chunk's first: its key is pushed along by the three, in both runs alike.
  TempDir dir;
  const std::string glfs = dir.file("gl.vcf.gz");
  const std::string copy =
      "zcat '" + kExample + "gl.vcf.gz' | awk 'BEGIN{OFS=\"\\t\"} {print} $2 == 1009951 {" +
      "alt = $5; for (i = 0; i < 4; i++) {$2 = i < 3 ? 1009999 : 1010000; " +
      "$5 = i == 1 ? $4 \"T\" : i == 2 ? $4 \"TT\" : alt; print}}' | bgzip > '" + glfs +
      "' && tabix -p vcf '" + glfs + "'";
  ASSERT_EQ(run_shell(copy).status, 0);
  expect_chunks_join_to_the_whole(dir, glfs);
  const RunResult sites =
      run_shell("bcftools view -H '" + dir.file("out/calls.vcf.gz") + "' | cut -f 2 | uniq -c");
  EXPECT_NE(sites.out.find(" 3 1009999\n"), std::string::npos) << sites.out;
  EXPECT_NE(sites.out.find(" 1 1010000\n"), std::string::npos) << sites.out;
}

namespace {

// Runs the workflow on the simulated cohort's reads over its whole region, in chunks of
// chunk_length bp, with the scaffold named by scaffold_config; returns the joined records.
std::string workflow_records(const SimulatedCohort& cohort, const std::string& out,
                             const std::string& chunk_length, const std::string& scaffold_config) {
  const std::string config = "dorsane=" + std::string(DORSANE_BINARY) +
                             " glfs= samples= scaffold= bams=" + cohort.dir.file("bams.txt") +
                             " reference=" + cohort.dir.file("ref.fa") + " " + scaffold_config +
                             " start=" + cohort.lower + " end=" + cohort.upper +
                             " chunk_length=" + chunk_length + " outdir=" + cohort.dir.file(out);
  const RunResult flow = run_shell("snakemake -q -s '" + kSource + "/workflow/Snakefile' " +
                                   "--configfile '" + kSource + "/workflow/config.yaml' -d '" +
                                   cohort.dir.path() + "' --cores 2 --config " + config + " 2>&1");
  EXPECT_EQ(flow.status, 0) << flow.out;
  const RunResult records =
      run_shell("bcftools view -H '" + cohort.dir.file(out) + "/calls.vcf.gz'");
  EXPECT_EQ(records.status, 0) << records.err;
  return records.out;
}

}  // namespace

// BAMs and an unphased array VCF: the upstream steps make the likelihoods and phase the
// scaffold; three chunks give the records of one, and the calls beat the baseline.
TEST(Workflow, FromReadsAndUnphasedArray_ChunksEqualOneRunAndBeatBaseline) {
  const SimulatedCohort cohort("--samples 30 --sites 1000 --start 5001 --seed 3 --reads bam");
  const std::string chunked =
      workflow_records(cohort, "chunked", "33000", "array_vcf=" + cohort.dir.file("array.vcf"));
  ASSERT_TRUE(file_exists(cohort.dir.file("chunked/chunks/chunk_2.vcf.gz")));
  ASSERT_TRUE(file_exists(cohort.dir.file("chunked/info_histogram.png")));
  const std::string whole = workflow_records(
      cohort, "whole", "1000000", "scaffold=" + cohort.dir.file("chunked/scaffold/scaffold.bcf"));
  EXPECT_EQ(chunked, whole);
  EXPECT_GT(chunked.size(), 10000u);

  ASSERT_EQ(run_shell("cp '" + cohort.dir.file("chunked/calls.vcf.gz") + "' '" +
                      cohort.dir.file("flow.vcf") + "'")
                .status,
            0);
  const std::string glfs = "--glfs '" + cohort.dir.file("chunked/likelihoods.vcf.gz") + "'";
  const double calls = cohort.evaluate("flow", {"calls", "all", "nonref_discordance"}, glfs);
  const double baseline = cohort.evaluate("flow", {"baseline", "all", "nonref_discordance"}, glfs);
  EXPECT_LT(calls, 0.8 * baseline);
}
