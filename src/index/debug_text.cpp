#include "index/debug_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace quorvane {

std::string debug_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string debug_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string out(buf, end);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

std::string debug_object(PyObject* obj) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Py(%p)", static_cast<void*>(obj));
  return buf;
}

}  // namespace quorvane
