#include "io/channel.hpp"

#include <cerrno>
#include <filesystem>

#include "io/fatal_error.hpp"

namespace ascent {

Channel::~Channel() {
  if (owns_file_ && file_ != nullptr) std::fclose(file_);
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
    std::size_t n = std::fwrite(buf_.data(), 1, buf_.size(), file_);
    if (n != buf_.size() || std::ferror(file_)) {
      buf_.clear();
      throw FatalError{err_write, name_ + ": write error"};
    }
  }
  buf_.clear();
}

void Channel::flush() {
  drain();
  if (kind_ == Kind::stream && std::fflush(file_) != 0) {
    throw FatalError{err_write, name_ + ": write error"};
  }
}

void Channel::close() {
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

void Channel::salvage() noexcept {
  try {
    flush();
  } catch (const FatalError&) {
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
