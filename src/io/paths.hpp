#pragma once
#include <string>

namespace ascent {

// True when the two names denote one file: the same path however written
// (relative or absolute, through "..", through a link to a folder), a link
// to the other (dangling or not), or a hard link of it. Files that do not
// exist yet are compared by the paths they would be created at, so that two
// outputs named "out.csv" and "./out.csv" are one file before either is
// written. An empty name denotes no file. The session refuses an output that
// would overwrite its inputs, and the tools an output named for an input or
// for another output, with this one test.
bool same_file(const std::string& a, const std::string& b);

// Where a chain of symbolic links starting at `name` ends (the name itself
// when it is none), whether or not that file exists: writing to a dangling
// link creates the file it names.
std::string link_end(const std::string& name);

// True when `name` is the plain file that the descriptor `fd` is open on
// (ascent < answers, answered "answers"): writing it would destroy what
// the descriptor reads or mix with what it writes.
bool is_file_of_descriptor(const std::string& name, int fd);

}  // namespace ascent
