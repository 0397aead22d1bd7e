// The Snakemake workflow on the bundled example: three chunks joined give the records of
// one run over the whole region.
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
                   "--numsnps", "15", "--seed", "7", "--o", dir.file("whole.vcf")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const RunResult joined = run_shell("bcftools view -H '" + dir.file("out/calls.vcf.gz") + "'");
  const RunResult one = run_shell("bcftools view -H '" + dir.file("whole.vcf") + "'");
  ASSERT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, one.out);
  EXPECT_GT(joined.out.size(), 1000u);
}
