#include "mpfd/Exception.h"
#include "mpfd/Field.h"

#include "TestSupport.h"

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
  const std::vector<std::pair<MPFD::Field*, Access>> misuses = {
      {&none, [](MPFD::Field& f) { f.GetType(); }},
      {&onDisk, [](MPFD::Field& f) { f.GetTextContent(); }},
      {&text, [](MPFD::Field& f) { f.GetFileContent(); }},
      {&onDisk, [](MPFD::Field& f) { f.GetFileContent(); }},
      {&text, [](MPFD::Field& f) { f.GetFileContentSize(); }},
      {&inMemory, [](MPFD::Field& f) { f.GetTempFileName(); }},
      {&text, [](MPFD::Field& f) { f.GetFileName(); }},
      {&text, [](MPFD::Field& f) { f.GetFileMimeType(); }},
      {&onDisk, [](MPFD::Field& f) { f.AcceptSomeData("x", 1); }},
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
