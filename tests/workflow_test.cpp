// The Snakemake workflow: chunks joined give the records of one run over the whole region,
// from ready inputs (the bundled example) and from raw ones (reads and an unphased array).
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

TEST(Workflow, ChunksJoinedGiveTheRecordsOfOneRun) {
  TempDir dir;
  const std::string source = DORSANE_SOURCE_DIR;
  const std::string example = source + "/examples/";
  const std::string config = "dorsane=" + std::string(DORSANE_BINARY) + " glfs=" + example +
                             "gl.vcf.gz scaffold=" + example + "scaffold.txt samples=" + example +
                             "samples.txt outdir=" + dir.file("out");
  const RunResult flow = run_shell("snakemake -q -s '" + source + "/workflow/Snakefile' " +
                                   "--configfile '" + source + "/workflow/config.yaml' -d '" +
                                   dir.path() + "' --cores 2 --config " + config + " 2>&1");
  ASSERT_EQ(flow.status, 0) << flow.out;
  // The config's three chunks of 10000 bp cover the example's region 1000000-1028806.
  ASSERT_TRUE(file_exists(dir.file("out/chunks/chunk_2.vcf.gz")));
  const RunResult whole =
      run_dorsane({"--sample-file", example + "samples.txt", "--glfs", example + "gl.vcf.gz",
                   "--scaffold-file", example + "scaffold.txt", "--int", "1000000", "1029994",
                   "--numsnps", "15", "--dosage", "--seed", "7", "--o", dir.file("whole.vcf")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const RunResult joined = run_shell("bcftools view -H '" + dir.file("out/calls.vcf.gz") + "'");
  const RunResult one = run_shell("bcftools view -H '" + dir.file("whole.vcf") + "'");
  ASSERT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, one.out);
  EXPECT_GT(joined.out.size(), 1000u);
}

namespace {

// Runs the workflow on the simulated cohort's reads over its whole region, in chunks of
// chunk_length bp, with the scaffold named by scaffold_config; returns the joined records.
std::string workflow_records(const SimulatedCohort& cohort, const std::string& out,
                             const std::string& chunk_length, const std::string& scaffold_config) {
  const std::string source = DORSANE_SOURCE_DIR;
  const std::string config = "dorsane=" + std::string(DORSANE_BINARY) +
                             " glfs= samples= scaffold= bams=" + cohort.dir.file("bams.txt") +
                             " reference=" + cohort.dir.file("ref.fa") + " " + scaffold_config +
                             " start=" + cohort.lower + " end=" + cohort.upper +
                             " chunk_length=" + chunk_length + " outdir=" + cohort.dir.file(out);
  const RunResult flow = run_shell("snakemake -q -s '" + source + "/workflow/Snakefile' " +
                                   "--configfile '" + source + "/workflow/config.yaml' -d '" +
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
