#include "io/channel.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/paths.hpp"

namespace ascent {

Channel::~Channel() {
  if (owns_file_ && file_ != nullptr) std::fclose(file_);
  // A replacing file not completed: the old file stays, the new one goes.
  if (!temp_path_.empty()) std::remove(temp_path_.c_str());
}

bool Channel::replaceable(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

void Channel::open_file_replacing(const std::string& path) {
  if (!replaceable(path)) {
    open_file(path);
    return;
  }
  // A name of our own in the same folder, so that the rename stays within
  // one file system; created exclusively, with the permissions fopen gives.
  static unsigned counter = 0;
  int fd = -1;
  std::string temp;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    errno = 0;
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) throw_open_error(errno, path, true);
  }
  if (fd < 0) throw_open_error(EEXIST, path, true);
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    ::close(fd);
    std::remove(temp.c_str());
    throw FatalError{err_write, path + ": cannot create"};
  }
  std::setvbuf(f, nullptr, _IONBF, 0);
  kind_ = Kind::stream;
  file_ = f;
  owns_file_ = true;
  name_ = path;
  temp_path_ = temp;
  final_path_ = path;
  buf_.reserve(flush_size + 256);
}

void Channel::open_file_replacing_through_links(const std::string& path) {
  const std::string end = link_end(path);
  struct stat st, at_end;
  if (end == path) {
    open_file_replacing(path);
  } else if (stat(path.c_str(), &st) != 0) {
    // A dangling link: the new file is created where it points.
    if (errno != ENOENT) throw_open_error(errno, path, true);
    open_file_replacing(end);
    name_ = path;
  } else if (S_ISREG(st.st_mode) && stat(end.c_str(), &at_end) == 0 && at_end.st_dev == st.st_dev &&
             at_end.st_ino == st.st_ino) {
    open_file_replacing(end);
    name_ = path;
  } else {
    open_file(path);  // a device, a pipe, a descriptor's name
  }
}

void Channel::open_file(const std::string& path) {
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw_open_error(errno, path, true);
  // Our own buffer decides when bytes go out; the stream must not add a
  // second one.
  std::setvbuf(f, nullptr, _IONBF, 0);
  kind_ = Kind::stream;
  file_ = f;
  owns_file_ = true;
  name_ = path;
  buf_.reserve(flush_size + 256);
}

void Channel::open_stream(std::FILE* f, std::string name) {
  std::setvbuf(f, nullptr, _IONBF, 0);
  kind_ = Kind::stream;
  file_ = f;
  owns_file_ = false;
  name_ = std::move(name);
  buf_.reserve(flush_size + 256);
}

void Channel::open_memory() {
  kind_ = Kind::memory;
  name_ = "memory";
  buf_.clear();
  memory_.clear();
}

void Channel::open_discard() {
  kind_ = Kind::discard;
  name_ = "discard";
}

void Channel::drain() {
  if (buf_.empty()) return;
  if (kind_ == Kind::memory) {
    memory_.append(buf_);
  } else if (kind_ == Kind::stream) {
    if (utf8_) {
      recoded_.clear();
      for (std::size_t i = 0; i < buf_.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(buf_[i]);
        if (c == '\r' && i + 1 < buf_.size() && buf_[i + 1] == '\n') continue;
        if (c < 0x80) {
          recoded_ += static_cast<char>(c);
        } else {  // Latin-1 to UTF-8
          recoded_ += static_cast<char>(0xC0 | (c >> 6));
          recoded_ += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      hand_over(recoded_);
    } else {
      hand_over(buf_);
    }
  }
  buf_.clear();
}

void Channel::hand_over(const std::string& bytes) {
  // Straight to the descriptor (the stream buffers nothing): a write that a
  // pipe or a terminal blocks returns when a signal arrives, and the run can
  // stop as asked instead of waiting for a reader that may never come.
  const int fd = fileno(file_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 && errno != EINTR) {
      buf_.clear();
      throw FatalError{err_write, name_ + ": write error"};
    }
    if (done < bytes.size() && interrupt_signal != 0) {
      buf_.clear();  // what the reader did not take is lost
      throw Interrupted{static_cast<int>(interrupt_signal)};
    }
  }
}

void Channel::flush() {
  drain();
  if (kind_ == Kind::stream && std::fflush(file_) != 0) {
    throw FatalError{err_write, name_ + ": write error"};
  }
}

void Channel::close_as(const std::string& path) {
  if (!temp_path_.empty()) name_ = final_path_ = path;
  close();
}

void Channel::close() {
  finish();
  commit();
}

void Channel::finish() {
  if (kind_ == Kind::closed) return;
  flush();
  if (owns_file_) {
    std::FILE* f = file_;
    file_ = nullptr;
    owns_file_ = false;
    kind_ = Kind::closed;
    if (std::fclose(f) != 0) throw FatalError{err_write, name_ + ": write error on close"};
  }
  kind_ = Kind::closed;
}

void Channel::commit() {
  if (kind_ != Kind::closed || temp_path_.empty()) return;
  std::string temp = std::move(temp_path_);
  temp_path_.clear();
  if (std::rename(temp.c_str(), final_path_.c_str()) != 0) {
    std::remove(temp.c_str());
    throw FatalError{err_write, name_ + ": cannot replace it"};
  }
}

void Channel::salvage() noexcept {
  try {
    flush();
  } catch (...) {
    buf_.clear();
  }
}

[[noreturn]] void throw_open_error(int errnum, const std::string& what, bool for_writing) {
  switch (errnum) {
    case ENOENT: {
      // A file that cannot be created, or one whose folder is missing, is a
      // missing path; a file to read that is simply absent is a missing file.
      std::error_code ec;
      std::filesystem::path parent = std::filesystem::path(what).parent_path();
      bool folder_there = parent.empty() || std::filesystem::is_directory(parent, ec);
      if (for_writing || !folder_there) throw FatalError{err_path_not_found, what + ": path not found"};
      throw FatalError{err_file_not_found, what + ": file not found"};
    }
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      throw FatalError{err_path_not_found, what + ": path not found"};
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
      throw FatalError{err_access_denied, what + ": access denied"};
    default:
      if (for_writing) throw FatalError{err_write, what + ": cannot create"};
      throw FatalError{err_read, what + ": cannot open"};
  }
}

}  // namespace ascent
