#pragma once
// viz256-run health and viz256-run map: the array's microphones and the acoustic map of a run.

namespace tools {

// Usage lines of both commands, for viz256-run's help.
extern const char *const analysis_usage;
// argv[1] is "health" or "map", argv[2] the run; parses the rest itself. Returns the exit status.
int run_analysis(int argc, char **argv);

}
