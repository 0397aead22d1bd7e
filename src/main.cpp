#include <htslib/hts.h>

#include <exception>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "app/CallSNP.h"
#include "app/help_text.h"
#include "io/io.h"
#include "util/errors.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Every window builds and frees buffers of megabytes; served by mmap they go back to the
  // system when freed instead of staying in a fragmented heap.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  std::vector<std::string> args(argv, argv + argc);
  const auto asks = [&args](const char* option) {
    return std::find(args.begin() + 1, args.end(), option) != args.end();
  };
  remove_temporary_outputs_on_signals();
  // htslib would print its own lines beside ours; every failure it reports becomes one
  // message of ours naming the file.
  hts_set_log_level(HTS_LOG_OFF);
  try {
    // Help, then the version, win over the other options once each of them is one.
    const bool help = argc == 1 || asks("--help") || asks("-h");
    if (help || asks("--version")) {
      check_option_spellings(argc, args);
      if (help) {
        std::cout << help_text(stdout_takes_colour()) << std::flush;
      } else {
        std::cout << "dorsane " << DORSANE_VERSION << std::endl;
      }
      return 0;
    }
    CallSNP caller(argc, args);
    caller.run();
  } catch (const FatalError& error) {
    std::cout << std::flush;
    std::cerr << printable_message(error.what()) << std::endl;
    return 1;
  } catch (const std::exception& error) {
    std::cout << std::flush;
    std::cerr << "Exiting : " << printable_message(error.what()) << std::endl;
    return 1;
  } catch (...) {
    std::cout << std::flush;
    std::cerr << "Exiting : unknown internal error" << std::endl;
    return 1;
  }
  return 0;
}
