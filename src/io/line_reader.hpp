#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdio>
#include <string>

namespace ascent {

// Reads text line by line from a stream or from memory. A line ends at LF; a
// CR right before the LF belongs to the line end, so scripts written with
// either convention read alike. The last line need not end in LF. A line
// longer than max_line bytes is no answer and no profile point: it stops the
// run (exit code 106) before it can fill the memory.
class LineReader {
 public:
  static constexpr std::size_t max_line = 4096;  // bytes, without the line end

  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader() {
    if (owned_ != nullptr) std::fclose(owned_);
  }

  // Reads the stream's descriptor itself (not through the FILE's buffer),
  // waiting for input in a way that a stop request cannot slip past: see
  // fill(). For standard input, where the answers come from.
  void open_stream(std::FILE* f, std::string name) {
    file_ = nullptr;
    fd_ = fileno(f);
    name_ = std::move(name);
  }
  // Opens the file `path` to read it a line at a time (never more than a
  // line in memory); a failure to open it stops the run.
  void open_file(const std::string& path);
  void open_memory(std::string text, std::string name) {
    file_ = nullptr;
    text_ = std::move(text);
    pos_ = 0;
    name_ = std::move(name);
  }

  // Reads the next line into `line` without its line end; false at the end of
  // the input. A read error stops the run (exit code 100).
  bool next_line(std::string& line);

  const std::string& name() const { return name_; }
  long line_number() const { return line_no_; }

 private:
  // Appends the next bytes of the stream to text_; false at its end.
  bool fill();

  std::FILE* file_ = nullptr;
  int fd_ = -1;           // a stream read through fill(), or -1
  bool fd_ended_ = false;  // the stream has ended: it is not read again
  std::FILE* owned_ = nullptr;
  std::string text_;
  std::size_t pos_ = 0;
  std::string name_;
  long line_no_ = 0;
};

// Reads real numbers the way the program's questions and its booster profile
// take them: blanks (the C white-space characters: space, tab, CR, LF,
// vertical tab, form feed) and empty lines before a number are skipped; the number
// is an optional sign, digits with an optional point and further digits (or a
// point and digits), and an optional exponent; it ends at a blank or at the
// line end. Anything else stops the run with exit code 106.
class NumberReader {
 public:
  explicit NumberReader(LineReader& in) : in_(in) {}

  // Reads the next number; false when the input ends before one.
  bool next(double& x);
  // Drops what is left of the current line.
  void skip_rest_of_line() { have_line_ = false; }
  // The last next() stopped at a text that is not a number (a typo, rather
  // than a fault of the input itself).
  bool last_was_typo() const { return typo_; }

 private:
  LineReader& in_;
  std::string line_;
  std::size_t pos_ = 0;
  bool have_line_ = false;
  bool typo_ = false;
};

// Largest files read whole or line by line, bytes: a description or a
// dispersions file is a few kilobytes, the longest profile a flight can use
// (1,000,000 points) fits in 64 MiB. A bigger file is refused (100), never
// read until memory runs out.
constexpr std::uintmax_t max_text_file = 4u << 20;
constexpr std::uintmax_t max_profile_file = 64u << 20;

// Opens `path` for reading, every fault a FatalError with its code: only a
// regular file (a FIFO, a device such as /dev/zero or /dev/urandom, or a
// socket would hang the run or never end: refused, 100), at most
// `max_bytes` long.
std::FILE* open_regular_file(const std::string& path, std::uintmax_t max_bytes);

// Every byte of the file at `path` (a description, a dispersions file),
// every open, read and close checked: a folder, an unreadable file, one that
// is not a regular file or is longer than max_text_file stops the run with
// its code.
std::string read_whole_file(const std::string& path);

// Parses `text` as one number of the form above; false when it is not one
// (or when it overflows to infinity).
bool parse_real(const std::string& text, double& x);

}  // namespace ascent
