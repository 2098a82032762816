#include "mpfd/Parser.h"

#include "mpfd/Exception.h"
#include "util/Limits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace MPFD {

namespace {

const std::string headersEnd = "\r\n\r\n";

// Above this much spare room, a mostly empty collector gives its memory back.
constexpr std::size_t keptCapacity = 1 << 20;

// Received bytes in an error text: enough of them to recognise the request, never so many that
// the answer or the log line grows with what a client sent, and nothing that could break a line.
constexpr std::size_t quotedBytes = 200;

std::string printable(const std::string& bytes)
{
  std::string text;
  const std::size_t shown = std::min(bytes.size(), quotedBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte == '\r') {
      text += "\\r";
    } else if (byte == '\n') {
      text += "\\n";
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    } else {
      text += static_cast<char>(byte);
    }
  }
  if (shown < bytes.size()) {
    text += "...";
  }
  return text;
}

std::string quoteHeaders(const std::string& headers)
{
  return "\nThe headers are: \"" + printable(headers) + "\"";
}

} // namespace

Parser::Parser() = default;

Parser::~Parser() = default;

void Parser::SetContentType(const std::string& type)
{
  static const std::string expected = "multipart/form-data;";
  if (type.compare(0, expected.size(), expected) != 0) {
    throw Exception("Content type is not \"multipart/form-data\"\nIt is \"" + printable(type) + "\"");
  }
  static const std::string key = "boundary=";
  std::size_t at = type.find(key);
  if (at == std::string::npos) {
    throw Exception("Cannot find boundary in Content-type: \"" + printable(type) + "\"");
  }
  boundary = "--" + type.substr(at + key.size());
  searchedUpTo = 0;
}

void Parser::AcceptSomeData(const char* data, std::size_t length)
{
  if (boundary.empty()) {
    throw Exception("Accepting data, but content type was not set.");
  }
  if (writeThrough(data, length)) {
    return;
  }
  if (consumed > 0) {
    dataCollector.erase(dataCollector.begin(), dataCollector.begin() + static_cast<std::ptrdiff_t>(consumed));
    consumed = 0;
    if (dataCollector.capacity() > keptCapacity && dataCollector.size() < dataCollector.capacity() / 4) {
      dataCollector.shrink_to_fit();
    }
  }
  if (length > 0) {
    dataCollector.insert(dataCollector.end(), data, data + length);
  }

  for (;;) {
    bool progressed = false;
    switch (state) {
    case LookingForBoundary:
      progressed = lookForBoundary();
      break;
    case ReadingHeaders:
      progressed = readHeaders();
      break;
    case ReadingContent:
      progressed = readContent();
      break;
    }
    if (!progressed) {
      break;
    }
  }
  // Counting only what is left after parsing lets a chunk of any size pass when its content
  // can be handed on; what stays is a header block, a partial boundary or a preamble.
  if (static_cast<std::int64_t>(unconsumedLength()) > maxDataCollectorLength) {
    throw LimitExceeded("Maximum data collector length reached.");
  }
}

bool Parser::writeThrough(const char* data, std::size_t length)
{
  // What readContent keeps back: a boundary split across chunks and the CR LF before it.
  const std::size_t keptBack = boundary.size() + 2;
  if (state != ReadingContent || length < 2 * keptBack) {
    return false;
  }
  // A boundary begun in the kept bytes and ended in this chunk, or one inside the chunk, is
  // left to the general path; only the chunk that ends a part takes it.
  std::string seam(unconsumed(), unconsumedLength());
  seam.append(data, boundary.size() - 1);
  if (::memmem(seam.data(), seam.size(), boundary.data(), boundary.size()) != nullptr ||
      ::memmem(data, length, boundary.data(), boundary.size()) != nullptr) {
    return false;
  }
  fields.at(currentFieldName)->AcceptSomeData(unconsumed(), unconsumedLength(), data, length - keptBack);
  dataCollector.assign(data + length - keptBack, data + length);
  consumed = 0;
  searchedUpTo = 0;
  return true;
}

bool Parser::lookForBoundary()
{
  std::size_t at = find(boundary);
  if (at == std::string::npos) {
    return false;
  }
  drop(at + boundary.size());
  setState(ReadingHeaders);
  return true;
}

bool Parser::readHeaders()
{
  if (unconsumedLength() < headersEnd.size()) {
    return false;
  }
  std::size_t end = find(headersEnd);
  // Without the end in sight, the block is at least as long as all but the last 3 bytes.
  std::size_t least = end != std::string::npos ? end : unconsumedLength() - (headersEnd.size() - 1);
  if (least > Limits::maxUploadPartHeaderBytes) {
    throw LimitExceeded("Part headers longer than " + std::to_string(Limits::maxUploadPartHeaderBytes) +
                        " bytes.");
  }
  if (end == std::string::npos) {
    return false;
  }
  parseHeaders(std::string(unconsumed(), ::strnlen(unconsumed(), end)));
  drop(end + headersEnd.size());
  setState(ReadingContent);
  return true;
}

bool Parser::readContent()
{
  std::size_t at = find(boundary);
  bool found = at != std::string::npos;
  // Without a boundary, keep enough bytes back to recognise one that is split across chunks,
  // together with the CR LF in front of it.
  std::int64_t end =
      found ? static_cast<std::int64_t>(at)
            : static_cast<std::int64_t>(unconsumedLength()) - static_cast<std::int64_t>(boundary.size());
  std::int64_t count = end - 2;
  if (count > 0) {
    fields.at(currentFieldName)->AcceptSomeData(unconsumed(), static_cast<std::size_t>(count));
    drop(static_cast<std::size_t>(count));
  }
  if (!found) {
    return false;
  }
  // Only the part being read keeps its file open, however many parts the body has.
  fields.at(currentFieldName)->FinishContent();
  setState(LookingForBoundary);
  return true;
}

std::size_t Parser::find(const std::string& needle)
{
  std::size_t length = unconsumedLength();
  if (length < needle.size() || searchedUpTo > length - needle.size()) {
    return std::string::npos;
  }
  const void* hit =
      ::memmem(unconsumed() + searchedUpTo, length - searchedUpTo, needle.data(), needle.size());
  if (hit == nullptr) {
    searchedUpTo = length - needle.size() + 1;
    return std::string::npos;
  }
  searchedUpTo = static_cast<std::size_t>(static_cast<const char*>(hit) - unconsumed());
  return searchedUpTo;
}

void Parser::drop(std::size_t count)
{
  consumed += count;
  searchedUpTo = searchedUpTo > count ? searchedUpTo - count : 0;
}

void Parser::setState(State next)
{
  state = next;
  searchedUpTo = 0;
}

void Parser::parseHeaders(const std::string& headers)
{
  if (headers.find("Content-Disposition: form-data;") == std::string::npos) {
    throw Exception("Accepted headers of field does not contain \"Content-Disposition: form-data;\"" +
                    quoteHeaders(headers));
  }
  static const std::string nameKey = "name=\"";
  std::size_t nameAt = headers.find(nameKey);
  if (nameAt == std::string::npos) {
    throw Exception("Accepted headers of field does not contain \"name=\"." + quoteHeaders(headers));
  }
  std::size_t nameBegin = nameAt + nameKey.size();
  std::size_t nameEnd = headers.find('"', nameBegin);
  if (nameEnd == std::string::npos) {
    throw Exception("Cannot find closing quote of \"name=\" attribute." + quoteHeaders(headers));
  }
  std::string name = headers.substr(nameBegin, nameEnd - nameBegin);

  static const std::string fileNameKey = "filename=\"";
  std::size_t fileNameAt = headers.find(fileNameKey);
  const bool isFile = fileNameAt != std::string::npos;
  if (parts == Limits::maxUploadFields) {
    throw LimitExceeded("More than " + std::to_string(Limits::maxUploadFields) + " fields in one body.");
  }
  if (isFile && fileParts == Limits::maxUploadFileParts) {
    throw LimitExceeded("More than " + std::to_string(Limits::maxUploadFileParts) +
                        " file parts in one body.");
  }
  ++parts;
  fileParts += isFile ? 1 : 0;

  std::size_t arrayMark = name.find("[]");
  if (arrayMark != std::string::npos && arrayMark + 2 == name.size()) {
    auto counter = arrayCounters.find(name);
    std::int32_t index = 0;
    if (counter == arrayCounters.end()) {
      arrayCounters.emplace(name, 0);
    } else {
      index = ++counter->second;
    }
    name = name.substr(0, arrayMark) + std::to_string(index);
  }
  currentFieldName = name;

  // Replacing an earlier field of the same name destroys it, and its temporary file with it.
  std::unique_ptr<Field>& slot = fields[currentFieldName];
  slot = std::make_unique<Field>();
  Field& field = *slot;

  if (!isFile) {
    field.SetType(Field::Text);
    return;
  }
  field.SetType(Field::File);
  field.SetTempDir(tempDir);
  field.SetFileStorage(storage);
  std::size_t fileNameBegin = fileNameAt + fileNameKey.size();
  std::size_t fileNameEnd = headers.find('"', fileNameBegin);
  if (fileNameEnd == std::string::npos) {
    throw Exception("Cannot find closing quote of \"filename=\" attribute." + quoteHeaders(headers));
  }
  field.SetFileName(headers.substr(fileNameBegin, fileNameEnd - fileNameBegin));

  static const std::string typeKey = "Content-Type: ";
  std::size_t typeAt = headers.find(typeKey);
  if (typeAt == std::string::npos) {
    return;
  }
  std::size_t typeBegin = typeAt + typeKey.size();
  std::size_t typeEnd = headers.find_first_of(" \r\n", typeBegin);
  field.SetFileMimeType(
      headers.substr(typeBegin, typeEnd == std::string::npos ? std::string::npos : typeEnd - typeBegin));
}

std::map<std::string, Field*> Parser::GetFields() const
{
  std::map<std::string, Field*> copy;
  for (const auto& entry : fields) {
    copy.emplace(entry.first, entry.second.get());
  }
  return copy;
}

Field* Parser::GetField(const std::string& name) const
{
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : it->second.get();
}

bool Parser::IsComplete() const
{
  return state == ReadingHeaders && unconsumedLength() >= 2 && unconsumed()[0] == '-' &&
         unconsumed()[1] == '-';
}

} // namespace MPFD
