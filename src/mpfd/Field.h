#pragma once

#include "mpfd/TempFile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace MPFD {

// Where the content of file parts goes.
enum FileStorage : int { StoreInFilesystem = 1, StoreInMemory = 2 };

// One part of a multipart body: a text field kept in memory, or a file kept in a temporary file
// (or in memory when so configured). Created and owned by MPFD::Parser.
class Field {
public:
  // 0 means that no type was set yet.
  enum FieldType : int { Text = 1, File = 2 };

  Field();
  // Removes the temporary file, if this field created one and it is still there.
  virtual ~Field();

  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  // Accepts Text or File only; throws MPFD::Exception otherwise.
  void SetType(int newType);
  void SetTempDir(const std::string& dir) { tempDir = dir; }
  void SetFileStorage(int where) { storage = where; }
  void SetFileName(const std::string& name) { fileName = name; }
  void SetFileMimeType(const std::string& mime) { mimeType = mime; }

  // Appends `length` bytes of content: to memory for text parts and in-memory files, otherwise
  // to the temporary file, which is created in the temp dir with the first byte and written
  // through at once. Throws MPFD::Exception when no type or temp dir is set, or when the
  // temporary file cannot be created or fully written. A text part keeps at most
  // Limits::maxUploadTextFieldBytes: the bytes up to that many are kept, and
  // MPFD::LimitExceeded is thrown for the rest.
  void AcceptSomeData(const char* data, std::size_t length);
  // The same for `firstLength` bytes from `first` followed by `length` from `data`, written to
  // a temporary file in one go.
  void AcceptSomeData(const char* first, std::size_t firstLength, const char* data, std::size_t length);
  // The part's content is complete: the temporary file, if any, is closed (it stays on disk
  // until the field is destroyed, for readers that open it by its name). No content may follow.
  void FinishContent();

  // The accessors below throw MPFD::Exception when the type is not set, the type does not fit,
  // or (for file content and the temp name) the storage does not fit, in that order.
  int GetType() const;
  // All content bytes of a text part.
  std::string GetTextContent() const;
  // The content of a file part stored in memory; GetFileContentSize bytes.
  const char* GetFileContent() const;
  std::uint64_t GetFileContentSize() const;
  // The temp dir + "/" + the temporary file's name.
  //
  // A file part with empty content never gets a temporary file: the name is then empty and the
  // result is just the temp dir + "/", a DIRECTORY. Callers that delete, move or open the
  // uploaded file must first check HasTempFile() (or, equivalently, that the result does not end
  // in "/"), or they act on the upload directory itself.
  std::string GetTempFileName() const;
  // Whether content reached a temporary file, that is, whether GetTempFileName names a file.
  bool HasTempFile() const { return tempFile != nullptr; }
  // The filename attribute as the client sent it, path separators included: never a safe path.
  std::string GetFileName() const;
  std::string GetFileMimeType() const;

private:
  std::uint64_t contentLength = 0;
  int storage = StoreInFilesystem;
  std::string tempDir;
  std::string mimeType;
  std::string fileName;
  int type = 0;
  // Text content keeps a zero byte after it (std::string does), in-memory files the raw bytes.
  std::string content;
  std::unique_ptr<TempFile> tempFile;
};

} // namespace MPFD
