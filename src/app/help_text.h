#pragma once

#include <string>

// True when standard output is a terminal and NO_COLOR is not set: only then do the help
// and the run's banner carry ANSI colours, so files and pipes get plain text.
bool stdout_takes_colour();
// The same for standard error, where the run's banner goes.
bool stderr_takes_colour();

// The help printed by --help, -h and a run without arguments: every option, grouped as
// docs/usage.md groups them, with its default.
std::string help_text(bool colour);
