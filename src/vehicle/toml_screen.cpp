#include "vehicle/toml_screen.hpp"

#include <cstdio>

namespace ascent {

namespace {

bool blank(unsigned char c) { return c == ' ' || c == '\t'; }

bool bare_key_character(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

std::optional<TomlScreenFault> screen_toml(std::string_view t, bool strings_may_hold_non_ascii) {
  // glued: a '#' right after a value's characters, which the parser may
  // take for a comment or for part of a malformed value; to the end of the
  // line neither a string nor a character outside ASCII is let through.
  enum { normal, comment, glued, basic, literal, ml_basic, ml_literal } state = normal;
  TomlScreenFault at;
  // What the last character outside white space was, in the normal state:
  // where a quote may open a string and '#' a comment.
  bool key_or_value_may_begin = true;  // start of a line, after '=', '[', '{', ',' or '.'
  bool comment_may_begin = true;       // start of a line, after white space or a string
  // Only white space before on this line, outside any list: a '[' here opens
  // a table's header, whose name the parser insists on finding (a header
  // without one, "[" and a line end, fails an assertion in the parser
  // rather than being reported).
  bool line_start = true;
  long lists_open = 0;  // '[' of a value not yet closed
  std::size_t i = t.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;  // a byte-order mark
  auto advance = [&](std::size_t n) {
    for (std::size_t k = 0; k < n && i < t.size(); ++k, ++i) {
      unsigned char c = static_cast<unsigned char>(t[i]);
      if (c == '\n') {
        ++at.line;
        at.column = 1;
      } else if ((c & 0xC0) != 0x80) {
        ++at.column;  // one character, however many bytes
      }
    }
  };
  auto starts = [&](std::string_view s) { return t.substr(i, s.size()) == s; };
  auto refuse = [&](const char* what) {
    at.what = what;
    return at;
  };
  auto string_ended = [&] {
    state = normal;
    line_start = false;
    key_or_value_may_begin = false;
    comment_may_begin = true;
  };
  const char* outside = strings_may_hold_non_ascii
                            ? "a character outside ASCII may appear only in a string or a comment"
                            : "a character outside ASCII may appear only in a comment";
  while (i < t.size()) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    if (c >= 0x80 && state != comment &&
        (state == normal || state == glued || !strings_may_hold_non_ascii)) {
      return refuse(state == glued ? "a character outside ASCII may appear in a comment only where white space "
                                     "sets the comment apart from the value before it"
                                   : outside);
    }
    switch (state) {
      case normal:
        if (c == '[' && line_start && lists_open == 0) {
          std::size_t j = i + 1;
          if (j < t.size() && t[j] == '[') ++j;  // [[ an array of tables ]]
          while (j < t.size() && blank(static_cast<unsigned char>(t[j]))) ++j;
          const unsigned char n = j < t.size() ? static_cast<unsigned char>(t[j]) : ']';
          if (!bare_key_character(n) && n != '"' && n != '\'' && n != ']') {
            advance(j - i);
            return refuse("a table's name must follow '['");
          }
          advance(j - i);  // to the name, which may be quoted
          key_or_value_may_begin = true;
          comment_may_begin = line_start = false;
          continue;
        }
        if (c == '[') ++lists_open;
        if (c == ']' && lists_open > 0) --lists_open;
        if (c == '\n') {
          line_start = true;
        } else if (!blank(c) && c != '\r') {
          line_start = false;
        }
        if (c == '#') {
          state = comment_may_begin ? comment : glued;
        } else if (key_or_value_may_begin && (starts("\"\"\"") || starts("'''"))) {
          state = c == '"' ? ml_basic : ml_literal;
          advance(3);
          continue;
        } else if (key_or_value_may_begin && (c == '"' || c == '\'')) {
          state = c == '"' ? basic : literal;
        } else if (c == '\n') {
          key_or_value_may_begin = comment_may_begin = true;
        } else if (blank(c) || c == '\r') {
          comment_may_begin = true;
        } else {
          key_or_value_may_begin = c == '=' || c == '[' || c == '{' || c == ',' || c == '.';
          comment_may_begin = false;
        }
        break;
      case comment:
      case glued:
        if (c == '\n') {
          state = normal;
          key_or_value_may_begin = comment_may_begin = line_start = true;
        }
        break;
      case basic:
      case literal:
        if (c == '\n') {
          state = normal;
          key_or_value_may_begin = comment_may_begin = line_start = true;
        } else if ((c == '"' && state == basic) || (c == '\'' && state == literal)) {
          string_ended();
        } else if (c == '\\' && state == basic && i + 1 < t.size() && t[i + 1] != '\n') {
          advance(1);  // the escaped character cannot end the string
          if (static_cast<unsigned char>(t[i]) >= 0x80 && !strings_may_hold_non_ascii) return refuse(outside);
        }
        break;
      case ml_basic:
        if (c == '\\') {
          std::size_t j = i + 1;
          while (j < t.size() && (blank(static_cast<unsigned char>(t[j])) || t[j] == '\r')) ++j;
          if (j < t.size() && t[j] == '\n') {  // a line-ending backslash: white space is skipped
            advance(j - i);
            while (i < t.size() && (blank(static_cast<unsigned char>(t[i])) || t[i] == '\r' || t[i] == '\n')) advance(1);
            if (i < t.size() && static_cast<unsigned char>(t[i]) >= 0x80) {
              return refuse("a character outside ASCII must not follow a line-ending backslash");
            }
            continue;
          }
          advance(1);
          if (i < t.size() && static_cast<unsigned char>(t[i]) >= 0x80 && !strings_may_hold_non_ascii) return refuse(outside);
          break;
        }
        if (starts("\"\"\"")) {
          advance(3);
          for (int extra = 0; extra < 2 && starts("\""); ++extra) advance(1);
          string_ended();
          continue;
        }
        break;
      case ml_literal:
        if (starts("'''")) {
          advance(3);
          for (int extra = 0; extra < 2 && starts("'"); ++extra) advance(1);
          string_ended();
          continue;
        }
        break;
    }
    advance(1);
  }
  return std::nullopt;
}

std::string ascii_shadow(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {  // a byte-order mark, which the parser skips
    out = text.substr(0, 3);
    text.remove_prefix(3);
  }
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c & 0xC0) != 0x80) {
      out += 'x';  // the first byte of a character; the bytes that continue it go
    }
  }
  return out;
}

std::string one_line(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace ascent
