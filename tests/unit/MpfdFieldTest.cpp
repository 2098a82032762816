#include "mpfd/Exception.h"
#include "mpfd/Field.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

TEST(MpfdFieldTest, AccessorsThatDoNotFitTheTypeOrTheStorageThrow)
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

  using Access = std::function<void(MPFD::Field&)>;
  const Access type = [](MPFD::Field& f) { f.GetType(); };
  const Access textContent = [](MPFD::Field& f) { f.GetTextContent(); };
  const Access fileContent = [](MPFD::Field& f) { f.GetFileContent(); };
  const Access contentSize = [](MPFD::Field& f) { f.GetFileContentSize(); };
  const Access tempName = [](MPFD::Field& f) { f.GetTempFileName(); };
  const Access fileName = [](MPFD::Field& f) { f.GetFileName(); };
  const Access mimeType = [](MPFD::Field& f) { f.GetFileMimeType(); };
  const Access accept = [](MPFD::Field& f) { f.AcceptSomeData("x", 1); };
  const std::vector<std::pair<MPFD::Field*, Access>> misuses = {
      {&none, type},
      {&onDisk, textContent},
      {&text, fileContent},
      {&onDisk, fileContent},
      {&text, contentSize},
      {&inMemory, tempName},
      {&text, fileName},
      {&text, mimeType},
      {&onDisk, accept},
      {&none, [](MPFD::Field& f) { f.SetType(3); }},
  };
  for (std::size_t i = 0; i < misuses.size(); ++i) {
    EXPECT_THROW(misuses[i].second(*misuses[i].first), MPFD::Exception) << "case " << i;
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
