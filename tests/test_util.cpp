#include "test_util.h"

#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "dorsane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
  const std::string path = file(name);
  std::ofstream out(path, std::ios::binary);
  out << text;
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string without_command_line(const std::string& text) {
  std::string kept = text;
  for (const char* key : {"##dorsaneCommand=", "##dorsaneVersion="}) {
    const std::size_t start = kept.find(key);
    if (start == std::string::npos) continue;
    const std::size_t end = kept.find('\n', start);
    kept.erase(start, end == std::string::npos ? std::string::npos : end + 1 - start);
  }
  return kept;
}

const char* const kGtHeaderFields =
    "##INFO=<ID=NUMALT,Number=1,Type=Integer,Description=\"Number of alternative alleles\">\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

std::vector<std::string> golden_input_args(const std::string& options) {
  const std::string input = std::string(DORSANE_TEST_DATA) + "/golden/input/";
  std::vector<std::string> args;
  std::istringstream words(options);
  for (std::string word; words >> word;) {
    args.push_back(fs::exists(input + word) && word.find('/') == std::string::npos ? input + word
                                                                                   : word);
  }
  return args;
}

std::string read_output(const std::string& path) { return without_command_line(read_file(path)); }

bool file_exists(const std::string& path) { return fs::exists(path); }

void write_gzip(const std::string& path, const std::string& text,
                const std::vector<std::size_t>& split_at) {
  std::ofstream out(path, std::ios::binary);
  std::size_t start = 0;
  std::vector<std::size_t> cuts = split_at;
  cuts.push_back(text.size());
  for (const std::size_t end : cuts) {
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string chunk = text.substr(start, end - start);
    std::vector<unsigned char> buffer(deflateBound(&zs, chunk.size()) + 64);
    zs.next_in = reinterpret_cast<Bytef*>(chunk.data());
    zs.avail_in = static_cast<uInt>(chunk.size());
    zs.next_out = buffer.data();
    zs.avail_out = static_cast<uInt>(buffer.size());
    deflate(&zs, Z_FINISH);
    out.write(reinterpret_cast<const char*>(buffer.data()),
              static_cast<std::streamsize>(buffer.size() - zs.avail_out));
    deflateEnd(&zs);
    start = end;
  }
}

std::string phased_vcf_of_layout(const std::string& layout, const std::vector<std::string>& names,
                                 bool reverse_samples) {
  std::vector<std::size_t> order(names.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = reverse_samples ? order.size() - 1 - i : i;
  std::string vcf =
      "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
      "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (const std::size_t i : order) vcf += "\t" + names[i];
  std::istringstream lines(layout);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> f;
    for (std::string word; words >> word;) f.push_back(word);
    if (f.size() < 5 + 2 * names.size()) continue;
    vcf += "\n" + f[0] + "\t" + f[2] + "\t" + f[1] + "\t" + f[3] + "\t" + f[4] + "\t.\tPASS\t.\tGT";
    for (const std::size_t i : order) vcf += "\t" + f[5 + 2 * i] + "|" + f[6 + 2 * i];
  }
  return vcf + "\n";
}

namespace {
std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}
}  // namespace

RunResult run_shell(const std::string& command) {
  TempDir capture;
  const std::string full =
      "(" + command + ") >" + capture.file("out") + " 2>" + capture.file("err");
  const int raw = std::system(full.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = read_file(capture.file("out"));
  result.err = read_file(capture.file("err"));
  return result;
}

RunResult run_dorsane_loud(const std::vector<std::string>& args, const std::string& dir) {
  std::string command = "cd " + quote(dir) + " && " + quote(DORSANE_BINARY);
  for (const std::string& arg : args) command += " " + quote(arg);
  return run_shell(command + " </dev/null");
}

RunResult run_dorsane(const std::vector<std::string>& args, const std::string& dir) {
  if (args.empty()) return run_dorsane_loud(args, dir);
  std::vector<std::string> quiet = {"--quiet"};
  quiet.insert(quiet.end(), args.begin(), args.end());
  return run_dorsane_loud(quiet, dir);
}

SimulatedCohort::SimulatedCohort(const std::string& simulate_options) {
  const RunResult sim =
      run_shell("python3 " + quote(std::string(DORSANE_SOURCE_DIR) + "/tools/simulate.py") +
                " --out " + quote(dir.path()) + " " + simulate_options);
  if (sim.status != 0) throw std::runtime_error("simulate.py failed: " + sim.err);
  std::istringstream command(sim.out);
  for (std::string word; command >> word;) {
    if (word == "--int") command >> lower >> upper;
  }
}

std::vector<std::string> SimulatedCohort::args(const std::string& glfs, const std::string& out,
                                               const std::vector<std::string>& extra) const {
  std::vector<std::string> args = {"--sample-file",
                                   dir.file("samples.txt"),
                                   "--glfs",
                                   glfs,
                                   "--scaffold-file",
                                   dir.file("scaffold.txt"),
                                   "--o",
                                   out,
                                   "--int",
                                   lower,
                                   upper};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

RunResult SimulatedCohort::run(const std::string& tag,
                               const std::vector<std::string>& extra) const {
  return run_dorsane(args(dir.file("gl.vcf"), dir.file(tag + ".vcf"), extra), dir.path());
}

double SimulatedCohort::evaluate(const std::string& tag, const std::vector<std::string>& keys,
                                 const std::string& evaluate_options) const {
  const std::string json = dir.file(tag + ".json");
  const RunResult eval =
      run_shell("python3 " + quote(std::string(DORSANE_SOURCE_DIR) + "/tools/evaluate.py") +
                " --json --truth " + quote(dir.file("truth.vcf")) + " --scaffold " +
                quote(dir.file("scaffold.txt")) + " --calls " + quote(dir.file(tag + ".vcf")) +
                " " + evaluate_options + " > " + quote(json));
  if (eval.status != 0) throw std::runtime_error("evaluate.py failed: " + eval.err);
  std::string lookup;
  for (const std::string& key : keys) lookup += "[\"" + key + "\"]";
  const RunResult value = run_shell(
      "python3 -c " + quote("import json,sys; print(json.load(open(sys.argv[1]))" + lookup + ")") +
      " " + quote(json));
  return std::stod(value.out);
}
