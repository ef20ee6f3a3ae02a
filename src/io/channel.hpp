#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace ascent {

// A buffered text output. Every line ends with CR LF. Bytes are handed to the
// system only when the buffer fills, on flush() and on close(), and every
// hand-over is checked: a failed write stops the run with exit code 101.
class Channel {
 public:
  enum class Kind { closed, stream, memory, discard };

  Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel();

  // Creates (or empties) the file `path`; a failure to do so stops the run.
  void open_file(const std::string& path);
  // Writes to a new file beside `path` that replaces `path` only when close()
  // has written and closed it: a failed write leaves the old file whole.
  void open_file_replacing(const std::string& path);
  // The same for a name that may be a link to the file meant (an output the
  // user named): a link that ends at a plain file, or at none yet, is
  // followed; the new file is written beside the file it ends at and takes
  // that file's place on close(), the link staying as it was. Nothing is
  // emptied before then. A device or a pipe is written through.
  void open_file_replacing_through_links(const std::string& path);

  // True when a finished file may take the place of `path` by a rename: no
  // such name yet, or a plain file. A device (/dev/null), a pipe or a link
  // (/dev/stdout) must be written through instead, or the rename would put a
  // plain file in its place.
  static bool replaceable(const std::string& path);
  // Lines end in LF and the Latin-1 signs written here (degree, plus-minus,
  // squared) go out as UTF-8; off, every byte goes out as written.
  void set_utf8(bool on) { utf8_ = on; }
  // Writes to an already open stream it does not own (standard output).
  void open_stream(std::FILE* f, std::string name);
  // Collects the bytes in memory, for tests and tools.
  void open_memory();  // empty, whatever it held before
  // Accepts and drops everything, formatting nothing.
  void open_discard();

  bool is_open() const { return kind_ != Kind::closed; }
  // True when nothing written here is kept: writers may skip formatting.
  bool discards() const { return kind_ == Kind::discard; }
  const std::string& name() const { return name_; }

  void put(std::string_view text) {
    if (kind_ == Kind::discard) return;
    buf_.append(text);
    if (buf_.size() >= flush_size) drain();
  }
  void put(char c) {
    if (kind_ == Kind::discard) return;
    buf_.push_back(c);
  }
  void end_line() { put(std::string_view("\r\n", 2)); }
  void line(std::string_view text) {
    put(text);
    end_line();
  }

  void flush();
  void close();
  // close() in its two halves, for files that stand or fall together:
  // finish() writes and closes the new file, the old one still in place;
  // commit() then puts the new one there. A replacing file finished but
  // never committed is removed with the channel, the old file untouched.
  void finish();
  void commit();
  // Closes a replacing file under `path` instead of its own name (the rows
  // of a run that was stopped, kept beside the old file); any other file is
  // simply closed.
  void close_as(const std::string& path);
  // Flushes what it can, ignoring failures: used on the way out after a fault.
  void salvage() noexcept;

  // Memory channel: everything written so far.
  const std::string& contents() const { return memory_; }

 private:
  static constexpr std::size_t flush_size = 1 << 16;  // bytes
  void drain();
  void hand_over(const std::string& bytes);

  Kind kind_ = Kind::closed;
  std::FILE* file_ = nullptr;
  bool owns_file_ = false;
  std::string name_;
  std::string buf_;
  std::string memory_;
  std::string temp_path_;  // open_file_replacing: where the bytes go until close
  std::string final_path_;  // and the file they then replace
  bool utf8_ = false;
  std::string recoded_;
};

}  // namespace ascent
