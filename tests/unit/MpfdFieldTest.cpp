#include "mpfd/Exception.h"
#include "mpfd/Field.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

std::string errorOf(const std::function<void()>& action)
{
  try {
    action();
  } catch (const MPFD::Exception& e) {
    return e.GetError();
  }
  return "";
}

TEST(MpfdFieldTest, AccessorsCheckTypeThenStorage)
{
  MPFD::Field none;
  MPFD::Field text;
  text.SetType(MPFD::Field::Text);
  MPFD::Field onDisk;
  onDisk.SetType(MPFD::Field::File);
  onDisk.SetFileStorage(MPFD::StoreInFilesystem);
  MPFD::Field inMemory;
  inMemory.SetType(MPFD::Field::File);
  inMemory.SetFileStorage(MPFD::StoreInMemory);

  struct Case {
    MPFD::Field& field;
    std::function<void(MPFD::Field&)> access;
    std::string error;
  };
  const std::vector<Case> cases = {
      {none, [](MPFD::Field& f) { f.GetType(); }, "Trying to get type of field, but no type was set."},
      {none, [](MPFD::Field& f) { f.GetTextContent(); },
       "Trying to get text content of the field, but no type was set."},
      {onDisk, [](MPFD::Field& f) { f.GetTextContent(); },
       "Trying to get content of the field, but the type is not text."},
      {none, [](MPFD::Field& f) { f.GetFileContent(); }, "Trying to get file content, but no type was set."},
      {text, [](MPFD::Field& f) { f.GetFileContent(); },
       "Trying to get file content, but the type is not file."},
      {onDisk, [](MPFD::Field& f) { f.GetFileContent(); },
       "Trying to get file content, but uploaded files are stored in filesystem."},
      {none, [](MPFD::Field& f) { f.GetFileContentSize(); },
       "Trying to get file content size, but no type was set."},
      {text, [](MPFD::Field& f) { f.GetFileContentSize(); },
       "Trying to get file content size, but the type is not file."},
      {onDisk, [](MPFD::Field& f) { f.GetFileContentSize(); },
       "Trying to get file content size, but uploaded files are stored in filesystem."},
      {none, [](MPFD::Field& f) { f.GetTempFileName(); },
       "Trying to get file temp name, but no type was set."},
      {text, [](MPFD::Field& f) { f.GetTempFileName(); },
       "Trying to get file temp name, but the type is not file."},
      {inMemory, [](MPFD::Field& f) { f.GetTempFileName(); },
       "Trying to get file temp name, but uplaoded files are stored in memory."},
      {none, [](MPFD::Field& f) { f.GetFileName(); }, "Trying to get file name, but no type was set."},
      {text, [](MPFD::Field& f) { f.GetFileName(); }, "Trying to get file name, but the type is not file."},
      {none, [](MPFD::Field& f) { f.GetFileMimeType(); },
       "Trying to get mime type of file, but no type was set."},
      {text, [](MPFD::Field& f) { f.GetFileMimeType(); },
       "Trying to get mime type of the field, but the type is not File."},
      {none, [](MPFD::Field& f) { f.AcceptSomeData("x", 1); },
       "Trying to AcceptSomeData but no type was set."},
      {onDisk, [](MPFD::Field& f) { f.AcceptSomeData("x", 1); },
       "Trying to AcceptSomeData for a file but no TempDir is set."},
      {none, [](MPFD::Field& f) { f.SetType(0); }, "Trying to set type of field, but type is incorrect."},
      {none, [](MPFD::Field& f) { f.SetType(3); }, "Trying to set type of field, but type is incorrect."},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(errorOf([&] { cases[i].access(cases[i].field); }), cases[i].error) << "case " << i;
  }
  // The accessors that fit do not throw.
  EXPECT_EQ(text.GetTextContent(), "");
  EXPECT_EQ(inMemory.GetFileContentSize(), 0u);
  EXPECT_EQ(onDisk.GetFileName(), "");
}

TEST(MpfdFieldTest, TextContentKeepsEveryByteOfEveryChunk)
{
  MPFD::Field field;
  field.SetType(MPFD::Field::Text);
  field.AcceptSomeData("ab", 2);
  field.AcceptSomeData("\0c", 2);
  EXPECT_EQ(field.GetTextContent(), std::string("ab\0c", 4));
}

} // namespace
