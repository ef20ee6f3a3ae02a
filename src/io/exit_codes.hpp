// The exit codes of ascent and of every study tool, each defined here once
// with its meaning: users' scripts test for them, and the table of
// exit codes in docs/reference.md lists the same numbers for the same causes.
#pragma once

namespace ascent {

// 0 is a run that ended as asked: a negative turn time, the answers run out at
// a numeric question, a study with at least one flight that ended normally.

// An internal fault of the program, an allocation failure or a thread that
// cannot be started included: never expected.
constexpr int exit_internal = 1;

// A file's faults, by the input/output error numbers scripts test for.
constexpr int err_file_not_found = 2;   // an input file that is not there
constexpr int err_path_not_found = 3;   // a file's folder missing, or a name that is no usable path
// ascent-optimize: no flight flown reached the target orbit (its outputs still
// describe the flight that missed least).
constexpr int exit_no_orbit = 4;
// A file that cannot be created or read (no permission, a folder), or an output
// refused before anything is written because it would overwrite an input (or,
// in the session, one of the files it writes itself).
constexpr int err_access_denied = 5;

// A command line a tool cannot use (an unknown option, a missing or bad value,
// one file named for two outputs): the conventional EX_USAGE, the same for
// every tool.
constexpr int exit_usage = 64;
// Data that cannot be used (the conventional EX_DATAERR): a vehicle description
// that cannot be flown, a vehicle too heavy to lift off, an ascent-mc
// dispersions file or shard CSVs that do not fit together.
constexpr int err_description = 65;
// A study none of whose flights ended normally (ascent-sweep, ascent-mc): its
// files are written for inspection, each row naming its error, but it reports
// no result.
constexpr int exit_no_flight = 69;

// A read error, a data file that ends before the value needed, or an input
// that is not a regular file or is larger than any the program reads.
constexpr int err_read = 100;
constexpr int err_write = 101;  // a write error: a full disk, a closed pipe, a file-size limit
constexpr int err_number = 106; // an answer or a data value that is not a number, or a line too long

// A run stopped by signal N (SIGINT, SIGTERM, SIGHUP) exits with 128 + N, as a
// shell reports a process the signal killed.
constexpr int exit_signal(int signal) { return 128 + signal; }

}  // namespace ascent
