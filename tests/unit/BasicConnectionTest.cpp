#include "ws/BasicConnection.h"

#include "TestSupport.h"

namespace {

// Fragment assembly and the size limit are checked end to end with a real client.
// Records what the base class hands over. Without a libwebsockets handle, messages are
// only queued, which is what these tests look at.
class RecordingConnection : public BasicConnection {
public:
  RecordingConnection() : BasicConnection(nullptr) {}
  ~RecordingConnection() = default;

  void setActive(bool value) { active = value; }

  void onMessage(const std::string& message) override { texts.push_back(message); }
  void onBinaryMessage(const std::string& message) override { binaries.push_back(message); }

  std::vector<std::string> texts;
  std::vector<std::string> binaries;
};

} // namespace

TEST(BasicConnectionTest, TheFinalFragmentDecidesBetweenTextAndBinary)
{
  RecordingConnection connection;
  connection.onReceive(std::string("\x00\x01", 2), true, false);
  connection.onReceive(std::string("\x02", 1), true, true);
  ASSERT_EQ(connection.binaries.size(), 1u);
  EXPECT_EQ(connection.binaries[0], std::string("\x00\x01\x02", 3));
  EXPECT_TRUE(connection.texts.empty());

  // The buffer starts empty again for the next message.
  connection.onReceive("next", false, true);
  EXPECT_EQ(connection.texts, std::vector<std::string>{"next"});
}

TEST(BasicConnectionTest, SendQueuesInOrderOnlyWhileActiveAndNeverEmptyMessages)
{
  RecordingConnection connection;
  connection.send("dropped while inactive");
  EXPECT_TRUE(connection.queuedMessages().empty());

  connection.setActive(true);
  connection.send("one");
  connection.send("");
  connection.send("two");
  connection.enqueue("three");
  EXPECT_EQ(connection.queuedMessages(), (std::vector<std::string>{"one", "two", "three"}));

  connection.setActive(false);
  connection.send("four");
  connection.enqueue("five");
  EXPECT_EQ(connection.queuedMessages().back(), "five");
  EXPECT_EQ(connection.queuedMessages().size(), 4u);
}
