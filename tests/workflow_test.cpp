// The Snakemake workflow: chunks joined give the records of one run over the whole region,
// from ready inputs (the bundled example) and from raw ones (reads and an unphased array).
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
  ASSERT_TRUE(file_exists(dir.file("out/20/chunks/chunk_2.vcf.gz")));
  const RunResult whole =
      run_dorsane({"--sample-file", kExample + "samples.txt", "--glfs", glfs, "--scaffold-file",
                   kExample + "scaffold.txt", "--int", "1000000", "1029994", "--numsnps", "15",
                   "--dosage", "--seed", "7", "--o", dir.file("whole.vcf")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const RunResult joined = run_shell("bcftools view -H '" + dir.file("out/20/calls.vcf.gz") + "'");
  const RunResult one = run_shell("bcftools view -H '" + dir.file("whole.vcf") + "'");
  ASSERT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, one.out);
  EXPECT_GT(joined.out.size(), 1000u);
  // The joined header records every chunk's command; a chunk's log names its region.
  const std::string header =
      run_shell("bcftools view -h '" + dir.file("out/20/calls.vcf.gz") + "'").out;
  for (const std::string region :
       {"20:1000000-1009999", "20:1010000-1019999", "20:1020000-1029999"}) {
    EXPECT_NE(header.find(" --region " + region + " "), std::string::npos) << region;
  }
  EXPECT_NE(read_file(dir.file("out/logs/20/chunk_1.log"))
                .find("Region                                  : 20:1010000-1019999\n"),
            std::string::npos);
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
      run_shell("bcftools view -H '" + dir.file("out/20/calls.vcf.gz") + "' | cut -f 2 | uniq -c");
  EXPECT_NE(sites.out.find(" 3 1009999\n"), std::string::npos) << sites.out;
  EXPECT_NE(sites.out.find(" 1 1010000\n"), std::string::npos) << sites.out;
}

// With a panel, each chunk makes both passes over its region and its windows' margins: the
// records of one run over the whole region.
TEST(Workflow, PanelChunksOfTwoPassesGiveTheRecordsOfOneWholeRun) {
  TempDir dir;
  const std::string input = std::string(DORSANE_TEST_DATA) + "/golden/input/";
  const std::string options = "--numsnps 3 --iteration 20 --burnin 5";
  const RunResult flow = run_shell(
      "snakemake -q -s '" + kSource + "/workflow/Snakefile' --configfile '" + kSource +
      "/workflow/config.yaml' -d '" + dir.path() +
      "' --cores 2 --config dorsane=" + DORSANE_BINARY + " glfs=" + input +
      "gl.vcf scaffold=" + input + "scaffold.txt samples=" + input + "samples.txt panel=" + input +
      "panel.txt outdir=" + dir.file("out") + " chunk_length=1000 'chromosomes=[{name: \"20\", " +
      "start: 1000000, end: 1004640}]' 'options=" + options + "' 2>&1");
  ASSERT_EQ(flow.status, 0) << flow.out;
  std::vector<std::string> args = golden_input_args(
      "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --ref-panel "
      "panel.txt --seed 7 -chr 20 --int 1000000 1004634 " +
      options);
  std::vector<std::string> one_pass = args;
  one_pass.insert(one_pass.end(), {"--passes", "1", "--o", dir.file("one_pass.vcf")});
  ASSERT_EQ(run_dorsane(one_pass).status, 0);
  args.insert(args.end(), {"--o", dir.file("whole.vcf")});
  const RunResult whole_run = run_dorsane(args);
  ASSERT_EQ(whole_run.status, 0) << whole_run.err;
  const RunResult joined = run_shell("bcftools view -H '" + dir.file("out/20/calls.vcf.gz") + "'");
  const RunResult whole = run_shell("bcftools view -H '" + dir.file("whole.vcf") + "'");
  const RunResult first_pass = run_shell("bcftools view -H '" + dir.file("one_pass.vcf") + "'");
  EXPECT_EQ(joined.out, whole.out);
  EXPECT_NE(whole.out, first_pass.out);  // the second pass did reach the prior
  EXPECT_GT(joined.out.size(), 1000u);
  // A config that still asks for the separate second pass stops before any job.
  const RunResult old =
      run_shell("snakemake -q -s '" + kSource + "/workflow/Snakefile' --configfile '" + kSource +
                "/workflow/config.yaml' -d '" + dir.path() +
                "' --cores 1 --config dorsane=" + DORSANE_BINARY + " second_pass=true 2>&1");
  EXPECT_NE(old.status, 0);
  EXPECT_NE(old.out.find("second_pass: every chunk run makes both passes itself"),
            std::string::npos)
      << old.out;
}

namespace {

const std::string kSnakemake = "snakemake -q -s '" + kSource +
                               "/workflow/Snakefile' --configfile '" + kSource +
                               "/workflow/config.yaml' ";

// Two simulated chromosomes, A and B, of the same 30 samples joined as a study's files
// are: one BAM per sample, one reference, one array VCF whose sample IDs (chip_S01, ...)
// differ from the reads' and are mapped by ids.txt.
struct TwoChromosomes {
  SimulatedCohort a{"--samples 30 --sites 500 --start 5001 --seed 3 --chrom A --reads bam"};
  SimulatedCohort b{"--samples 30 --sites 500 --start 5001 --seed 4 --chrom B --reads bam"};
  TempDir dir;

  TwoChromosomes() {
    const std::string da = a.dir.path(), db = b.dir.path();
    const RunResult joined = run_shell(
        "cd '" + dir.path() + "' && cat '" + da + "/ref.fa' '" + db +
        "/ref.fa' > ref.fa && samtools faidx ref.fa && mkdir bam && for s in $(cat '" + da +
        "/samples.txt'); do samtools merge -f bam/$s.bam '" + da + "'/reads/$s.bam '" + db +
        "'/reads/$s.bam && samtools index bam/$s.bam || exit 1; done && ls \"$PWD\"/bam/*.bam "
        "> bams.txt && bcftools concat '" +
        da + "/array.vcf' '" + db +
        "/array.vcf' | sed '/^#CHROM/ s/\tS/\tchip_S/g' > array.vcf && awk '{print \"chip_\" "
        "$1, $1}' '" +
        da + "/samples.txt' > ids.txt");
    if (joined.status != 0)
      throw std::runtime_error("joining the chromosomes failed: " + joined.err);
  }

  // The workflow's config for the raw inputs, chunks of chunk_length bp, writing to out.
  std::string config(const std::string& out, const std::string& chunk_length,
                     const std::string& scaffold_config) const {
    return "--config dorsane=" + std::string(DORSANE_BINARY) +
           " glfs= samples= scaffold= bams=" + dir.file("bams.txt") +
           " reference=" + dir.file("ref.fa") + " " + scaffold_config +
           " chunk_length=" + chunk_length + " outdir=" + dir.file(out) +
           " 'chromosomes=[{name: A, start: " + a.lower + ", end: " + a.upper +
           "}, {name: B, start: " + b.lower + ", end: " + b.upper + "}]'";
  }

  // Runs the workflow; returns the joined records of each chromosome.
  std::vector<std::string> records(const std::string& out, const std::string& chunk_length,
                                   const std::string& scaffold_config) const {
    const RunResult flow = run_shell(kSnakemake + "-d '" + dir.path() + "' --cores 2 " +
                                     config(out, chunk_length, scaffold_config) + " 2>&1");
    EXPECT_EQ(flow.status, 0) << flow.out;
    std::vector<std::string> records;
    for (const std::string chrom : {"A", "B"}) {
      const RunResult vcf =
          run_shell("bcftools view -H '" + dir.file(out + "/" + chrom + "/calls.vcf.gz") + "'");
      EXPECT_EQ(vcf.status, 0) << vcf.err;
      records.push_back(vcf.out);
    }
    return records;
  }
};

}  // namespace

// BAMs and an unphased array VCF over two chromosomes: the upstream steps make the
// likelihoods and phase each chromosome's scaffold under the mapped sample IDs; chunks give
// the records of one run per chromosome, and the calls beat the baseline on each.
TEST(Workflow, TwoChromosomesFromReadsAndUnphasedArray_ChunksEqualOneRunAndBeatBaseline) {
  const TwoChromosomes study;
  const std::string array =
      "array_vcf=" + study.dir.file("array.vcf") + " sample_map=" + study.dir.file("ids.txt");
  const std::vector<std::string> chunked = study.records("chunked", "33000", array);
  ASSERT_TRUE(file_exists(study.dir.file("chunked/B/chunks/chunk_1.vcf.gz")));
  ASSERT_TRUE(file_exists(study.dir.file("chunked/info_histogram.png")));
  const std::string summary = read_file(study.dir.file("chunked/summary.txt"));
  EXPECT_NE(summary.find("in 2 file(s), samples: 30"), std::string::npos) << summary;
  const std::vector<std::string> whole = study.records(
      "whole", "1000000", "scaffold=" + study.dir.file("chunked/{chrom}/scaffold/scaffold.bcf"));
  EXPECT_EQ(chunked, whole);

  for (const auto& [chrom, cohort] : {std::pair{"A", &study.a}, std::pair{"B", &study.b}}) {
    EXPECT_GT(chunked[chrom[0] - 'A'].size(), 5000u);
    const std::string prefix = study.dir.file("chunked/") + chrom;
    ASSERT_EQ(
        run_shell("cp '" + prefix + "/calls.vcf.gz' '" + cohort->dir.file("flow.vcf") + "'").status,
        0);
    const std::string glfs = "--glfs '" + prefix + "/likelihoods.vcf.gz'";
    const double calls = cohort->evaluate("flow", {"calls", "all", "nonref_discordance"}, glfs);
    const double baseline =
        cohort->evaluate("flow", {"baseline", "all", "nonref_discordance"}, glfs);
    EXPECT_LT(calls, 0.8 * baseline) << chrom;
  }
}

// Before any work: a chromosome the inputs name otherwise stops the run in one line naming
// the files; the Snakemake 7 cluster profile parses and plans every job.
TEST(Workflow, ChromosomeNameMismatchStopsFirst_ClusterProfileDryRun) {
  TempDir dir;
  const std::string inputs = "dorsane=" + std::string(DORSANE_BINARY) + " glfs=" + kExample +
                             "gl.vcf.gz scaffold=" + kExample + "scaffold.txt samples=" + kExample +
                             "samples.txt outdir=" + dir.file("out");
  const RunResult mismatch =
      run_shell(kSnakemake + "-d '" + dir.path() + "' --cores 1 --config " + inputs +
                " 'chromosomes=[{name: chr20, start: 1000000, end: 1028806}]' 2>&1");
  EXPECT_NE(mismatch.status, 0);
  EXPECT_NE(mismatch.out.find("check_chromosomes: the chromosome names of the inputs and the "
                              "config disagree: " +
                              kExample + "gl.vcf.gz (glfs) lacks chr20, naming 20; " + kExample +
                              "scaffold.txt (scaffold) lacks chr20, naming 20\n"),
            std::string::npos)
      << mismatch.out;
  EXPECT_FALSE(file_exists(dir.file("out/chr20/chunks")));
  // A dorsane that does not run stops the run before its first job, in one line.
  const std::string absent = dir.file("absent/dorsane");
  const RunResult no_binary = run_shell(kSnakemake + "-d '" + dir.path() + "' --cores 1 --config " +
                                        inputs + " dorsane=" + absent + " 2>&1");
  EXPECT_NE(no_binary.status, 0);
  EXPECT_EQ(no_binary.out, "workflow: dorsane: " + absent +
                               " does not run: No such file or directory (build it, or set "
                               "dorsane: to the binary, e.g. build/dorsane)\n");

  const RunResult dry =
      run_shell(kSnakemake + "-n -d '" + dir.path() + "' --profile '" + kSource +
                "/workflow/profiles/slurm-snakemake7' --config " + inputs + " 2>&1");
  EXPECT_EQ(dry.status, 0) << dry.out;
  // The dry run's job table lists the chunk rule three times.
  bool three_chunks = false;
  std::istringstream table(dry.out);
  for (std::string line; std::getline(table, line);) {
    std::istringstream words(line);
    std::string rule, count;
    three_chunks = three_chunks || (words >> rule >> count && rule == "chunk" && count == "3");
  }
  EXPECT_TRUE(three_chunks) << dry.out;
}
