#include "report/step_table.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "io/number_format.hpp"

namespace ascent {

namespace {

// A per-thread scratch line for the exact route, so that formatting a step
// allocates nothing once it has grown.
std::string& scratch() {
  thread_local std::string s = [] {
    std::string r;
    r.reserve(512);
    return r;
  }();
  s.clear();
  return s;
}

// A line written field by field straight into a buffer on the stack. A field
// whose digits the fast route cannot settle marks the line, and the caller
// writes it again by the exact route: the bytes are the same either way.
class FastLine {
 public:
  [[gnu::always_inline]] void real(double x, int w, int d) {
    if (p_ != nullptr) p_ = put_real(p_, x, w, d);
  }
  [[gnu::always_inline]] void rounded(double x, int w) {
    if (p_ != nullptr) p_ = put_rounded(p_, x, w);
  }
  void bytes(const char* text, std::size_t n) {
    if (p_ == nullptr) return;
    std::memcpy(p_, text, n);
    p_ += n;
  }
  // A field written before (n bytes of the fast route's room): copied whole,
  // in a few stores, and the line goes on after its n bytes.
  void field(const char (&text)[fast_field_room], std::size_t n) {
    if (p_ == nullptr) return;
    std::memcpy(p_, text, fast_field_room);
    p_ += n;
  }
  bool ok() const { return p_ != nullptr; }
  std::string_view text() const { return {buf_, static_cast<std::size_t>(p_ - buf_)}; }

 private:
  // Ten fields of at most the fast route's room each (every width in a line
  // is below it), and the line end.
  char buf_[10 * fast_field_room + 8];
  char* p_ = buf_;
};

// The time column of a data line, formatted once for all four files.
struct TimeField {
  char text[fast_field_room] = {};
  std::size_t size = 0;  // 0: the fast route could not write it
  explicit TimeField(double t) {
    if (char* end = put_real(text, t, 7, 2)) size = static_cast<std::size_t>(end - text);
  }
};

// Width and decimals as template arguments: each file's line compiles to its
// own straight-line code.
template <int w, int d>
void data_line(Channel& ch, const TimeField& t_text, double t, double y) {
  if (ch.discards()) return;
  if (t_text.size != 0) {
    FastLine line;
    line.field(t_text.text, t_text.size);
    line.real(y, w, d);
    line.bytes("\r\n", 2);
    if (line.ok()) {
      ch.put(line.text());
      return;
    }
  }
  std::string& s = scratch();
  append_real(s, t, 7, 2);
  append_real(s, y, w, d);
  s.append("\r\n");
  ch.put(s);
}

}  // namespace

void write_table_line(Channel& main, double t, double a, double vi, double h0, double r0,
                      double alpha_deg, double beta_deg, double theta_deg, double q, double m) {
  if (main.discards()) return;
  FastLine line;
  line.real(t, 7, 2);
  line.real(a, 6, 1);
  line.rounded(vi, 6);
  line.rounded(h0, 8);
  line.rounded(r0, 10);
  line.real(alpha_deg, 7, 2);
  line.real(beta_deg, 7, 2);
  line.real(theta_deg, 7, 2);
  line.real(q, 9, 1);
  line.real(m, 10, 1);
  line.bytes("\r\n", 2);
  if (line.ok()) {
    main.put(line.text());
    return;
  }
  std::string& s = scratch();
  append_real(s, t, 7, 2);
  append_real(s, a, 6, 1);
  append_rounded(s, vi, 6);
  append_rounded(s, h0, 8);
  append_rounded(s, r0, 10);
  append_real(s, alpha_deg, 7, 2);
  append_real(s, beta_deg, 7, 2);
  append_real(s, theta_deg, 7, 2);
  append_real(s, q, 9, 1);
  append_real(s, m, 10, 1);
  s.append("\r\n");
  main.put(s);
}

void write_data_lines(const DataFiles& files, const StepRecord& r) {
  const TimeField t(r.t);
  data_line<6, 3>(*files.speed, t, r.t, r.vi / 1000);
  data_line<9, 3>(*files.height, t, r.t, r.h0 / 1000);
  data_line<8, 3>(*files.accel, t, r.t, r.a);
  data_line<9, 4>(*files.dynpres, t, r.t, r.q / 1000);
}

}  // namespace ascent
