#include "phases/flight_context.hpp"

namespace ascent {

void open_output_file(Session& S, Channel& ch, const std::string& path) {
  switch (S.file_sink) {
    case FileSink::disk: ch.open_file(path); break;
    case FileSink::memory: ch.open_memory(); break;
    case FileSink::discard: ch.open_discard(); break;
  }
  ch.set_utf8(S.utf8);
}

void open_replacing_file(Session& S, Channel& ch, const std::string& path) {
  if (S.file_sink == FileSink::disk) {
    ch.open_file_replacing(path);
    ch.set_utf8(S.utf8);
  } else {
    open_output_file(S, ch, path);
  }
}

}  // namespace ascent
