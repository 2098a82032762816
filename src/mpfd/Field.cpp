#include "mpfd/Field.h"

#include "mpfd/Exception.h"
#include "util/Limits.h"

#include <string>

namespace MPFD {

Field::Field() = default;

Field::~Field() = default;

void Field::SetType(int newType)
{
  if (newType != Text && newType != File) {
    throw Exception("Trying to set type of field, but type is incorrect.");
  }
  type = newType;
}

void Field::AcceptSomeData(const char* data, std::size_t length)
{
  if (type == Text && length > Limits::maxUploadTextFieldBytes - content.size()) {
    // Keeping the bytes up to the cap leaves the same field whatever the chunking.
    content.append(data, Limits::maxUploadTextFieldBytes - content.size());
    contentLength = content.size();
    throw LimitExceeded("A text field is longer than " + std::to_string(Limits::maxUploadTextFieldBytes) +
                        " bytes.");
  }
  if (type == Text || (type == File && storage == StoreInMemory)) {
    content.append(data, length);
    contentLength += length;
    return;
  }
  if (type == File) {
    if (tempDir.empty()) {
      throw Exception("Trying to AcceptSomeData for a file but no TempDir is set.");
    }
    if (!tempFile) {
      tempFile = TempFile::create(tempDir);
    }
    tempFile->write(data, length);
    return;
  }
  throw Exception("Trying to AcceptSomeData but no type was set.");
}

void Field::AcceptSomeData(const char* first, std::size_t firstLength, const char* data, std::size_t length)
{
  if (type != File || storage == StoreInMemory || tempDir.empty()) {
    AcceptSomeData(first, firstLength);
    AcceptSomeData(data, length);
    return;
  }
  if (!tempFile) {
    tempFile = TempFile::create(tempDir);
  }
  tempFile->write(first, firstLength, data, length);
}

void Field::FinishContent()
{
  if (tempFile) {
    tempFile->close();
  }
}

int Field::GetType() const
{
  if (type == 0) {
    throw Exception("Trying to get type of field, but no type was set.");
  }
  return type;
}

std::string Field::GetTextContent() const
{
  if (type == 0) {
    throw Exception("Trying to get text content of the field, but no type was set.");
  }
  if (type != Text) {
    throw Exception("Trying to get content of the field, but the type is not text.");
  }
  return content;
}

const char* Field::GetFileContent() const
{
  if (type == 0) {
    throw Exception("Trying to get file content, but no type was set.");
  }
  if (type != File) {
    throw Exception("Trying to get file content, but the type is not file.");
  }
  if (storage != StoreInMemory) {
    throw Exception("Trying to get file content, but uploaded files are stored in filesystem.");
  }
  return content.data();
}

std::uint64_t Field::GetFileContentSize() const
{
  if (type == 0) {
    throw Exception("Trying to get file content size, but no type was set.");
  }
  if (type != File) {
    throw Exception("Trying to get file content size, but the type is not file.");
  }
  if (storage != StoreInMemory) {
    throw Exception("Trying to get file content size, but uploaded files are stored in filesystem.");
  }
  return contentLength;
}

std::string Field::GetTempFileName() const
{
  if (type == 0) {
    throw Exception("Trying to get file temp name, but no type was set.");
  }
  if (type != File) {
    throw Exception("Trying to get file temp name, but the type is not file.");
  }
  if (storage != StoreInFilesystem) {
    throw Exception("Trying to get file temp name, but uplaoded files are stored in memory.");
  }
  return tempDir + "/" + (tempFile ? tempFile->name() : std::string());
}

std::string Field::GetFileName() const
{
  if (type == 0) {
    throw Exception("Trying to get file name, but no type was set.");
  }
  if (type != File) {
    throw Exception("Trying to get file name, but the type is not file.");
  }
  return fileName;
}

std::string Field::GetFileMimeType() const
{
  if (type == 0) {
    throw Exception("Trying to get mime type of file, but no type was set.");
  }
  if (type != File) {
    throw Exception("Trying to get mime type of the field, but the type is not File.");
  }
  return mimeType;
}

} // namespace MPFD
