#include "http/HttpWriter.h"

#include <cstdio>

namespace {

bool isSafeFieldText(std::string_view text)
{
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') {
      return false;
    }
  }
  return true;
}

} // namespace

namespace HttpWriter {

void appendHead(std::string& out, std::string_view startLine, const Fields& fields, Framing framing,
                uint64_t length)
{
  out.append(startLine);
  out += "\r\n";
  for (const auto& field : fields) {
    appendField(out, field.first, field.second);
  }
  appendEndOfHead(out, framing, length);
}

void appendField(std::string& out, std::string_view name, std::string_view value)
{
  if (!name.empty() && isSafeFieldText(name) && isSafeFieldText(value)) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
}

void appendEndOfHead(std::string& out, Framing framing, uint64_t length)
{
  if (framing == Framing::Length) {
    out += "Content-Length: ";
    out += std::to_string(length);
    out += "\r\n";
  } else if (framing == Framing::Chunked) {
    out += "Transfer-Encoding: chunked\r\n";
  }
  out += "\r\n";
}

void appendBody(std::string& out, Framing framing, const char* data, size_t size)
{
  if (size == 0 || framing == Framing::None) {
    return;
  }
  if (framing == Framing::Chunked) {
    char sizeLine[32];
    out.append(sizeLine, static_cast<size_t>(std::snprintf(sizeLine, sizeof sizeLine, "%zX\r\n", size)));
    out.append(data, size);
    out += "\r\n";
    return;
  }
  out.append(data, size);
}

void appendEnd(std::string& out, Framing framing)
{
  if (framing == Framing::Chunked) {
    out += "0\r\n\r\n";
  }
}

} // namespace HttpWriter
