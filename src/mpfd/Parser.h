#pragma once

#include "mpfd/Field.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace MPFD {

// Parses a multipart/form-data body that arrives in chunks of any size into named fields.
//
// Set the storage, the temp dir, the limit and the content type, then feed every chunk in order
// to AcceptSomeData. Every failure throws MPFD::Exception, after which the caller is expected to
// give up on the body; a body that breaks one of the upload limits throws its subclass
// MPFD::LimitExceeded. Fields, and the temporary files of file fields, live as long as the
// parser: copy, move or extract an uploaded file before destroying the parser. Only the file of
// the part being read is open; the others are closed and opened again by name.
//
// Between chunks the parser holds at most the limit: file content leaves it as soon as it cannot
// be part of a boundary, and only the unconsumed bytes (a partial boundary, a header block, a
// preamble) stay. Text parts, and file parts under StoreInMemory, are kept whole in their
// fields. A body has at most Limits::maxUploadFields parts, Limits::maxUploadFileParts of them
// with a file name, and part header blocks of at most Limits::maxUploadPartHeaderBytes.
// Error texts quote at most a short, escaped prefix of the bytes received.
class Parser {
public:
  enum State : int { LookingForBoundary = 1, ReadingHeaders = 2, ReadingContent = 3 };

  Parser();
  ~Parser();

  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // StoreInFilesystem or StoreInMemory, for file parts whose headers are read afterwards.
  void SetFileStorage(int where) { storage = where; }
  // Directory of the temporary files; their paths are always `dir` + "/" + name.
  void SetTempDir(const std::string& dir) { tempDir = dir; }
  // The largest number of bytes left unconsumed after a chunk; 16777216 unless set.
  void SetMaxDataCollectorLength(std::int64_t length) { maxDataCollectorLength = length; }
  // Takes the boundary from a Content-Type value that must begin with "multipart/form-data;"
  // exactly and contain "boundary=": everything after it, unchanged, is the boundary parameter.
  // Throws MPFD::Exception otherwise.
  void SetContentType(const std::string& type);

  // Consumes the next chunk of the body. Throws MPFD::Exception when no content type was set,
  // when a part's headers are unusable, or when a file part cannot be written, and
  // MPFD::LimitExceeded when the unconsumed bytes exceed the limit or the body breaks one of the
  // upload limits. What was done before the failure stays done.
  void AcceptSomeData(const char* data, std::size_t length);

  // The fields by name (array names "x[]" numbered x0, x1, ...). A part that repeats a name
  // replaces, and destroys, the earlier field of that name together with its temporary file.
  // The pointers stay owned by the parser.
  std::map<std::string, Field*> GetFields() const;
  // The field of that name, or null.
  Field* GetField(const std::string& name) const;

  State GetState() const { return state; }
  // Whether the closing boundary (the boundary followed by "--") has been read, that is, the body
  // is known to be complete. A body cut short leaves the last bytes of its last part unwritten,
  // so callers should refuse uploads for which this is false after the last chunk.
  bool IsComplete() const;

private:
  // Writes a chunk of a part's content straight from `data` to its field when no boundary
  // can begin in it, keeping only the bytes readContent would keep; false (nothing done)
  // otherwise.
  bool writeThrough(const char* data, std::size_t length);
  // Each returns false when it has to wait for more data.
  bool lookForBoundary();
  bool readHeaders();
  bool readContent();

  // Position of `needle` in the unconsumed bytes, or npos. Positions known not to match from an
  // earlier search for the same needle are not searched again.
  std::size_t find(const std::string& needle);
  void drop(std::size_t count);
  void setState(State next);
  void parseHeaders(const std::string& headers);

  const char* unconsumed() const { return dataCollector.data() + consumed; }
  std::size_t unconsumedLength() const { return dataCollector.size() - consumed; }

  int storage = StoreInFilesystem;
  std::map<std::string, std::unique_ptr<Field>> fields;
  std::map<std::string, std::int32_t> arrayCounters;
  std::string tempDir;
  State state = LookingForBoundary;
  std::string boundary;
  std::string currentFieldName;
  // Received bytes; the first `consumed` of them are already dropped. Compacting once per chunk
  // instead of once per drop keeps the parsing of large bodies linear.
  std::vector<char> dataCollector;
  std::size_t consumed = 0;
  // Start positions below this one (relative to the unconsumed bytes) hold no match of the
  // needle currently searched for.
  std::size_t searchedUpTo = 0;
  std::int64_t maxDataCollectorLength = 16777216;
  std::size_t parts = 0;
  std::size_t fileParts = 0;
};

} // namespace MPFD
