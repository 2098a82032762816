#include "ws/CameraEventsConnection.h"

#include "util/Limits.h"

#include "TestSupport.h"

#include <rapidjson/document.h>

#include <stdexcept>

namespace {

using Connection = CameraEventsConnection;

rapidjson::Document json(const std::string& text)
{
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

// The text of the error a parse step throws, or "" when it does not throw.
template <typename Parse> std::string thrownText(Parse parse)
{
  try {
    parse();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::string valueError(const std::string& keyObject)
{
  const rapidjson::Document document = json(keyObject);
  return thrownText([&] { Connection::parseValue(document); });
}

Connection::Request decode(const std::string& message)
{
  rapidjson::Document document;
  return Connection::decodeRequest(message, document);
}

} // namespace

// The answers' exact texts and the envelope and value-type errors are checked end to end
// over a real WebSocket; these cases cover the edges that are awkward to send from there.
TEST(CameraEventsConnectionTest, AnswersEscapeQuotesBackslashesAndControlCharacters)
{
  EXPECT_EQ(Connection::errorText(-2147483648, "x"), R"({"error": "x", "call_id":-2147483648})");
  EXPECT_EQ(Connection::errorText(1, std::string("t\tn\n\x01\x1f", 6)),
            R"({"error": "t\tn\n\u0001\u001f", "call_id":1})");
  // Whatever the text, the answer parses back to it.
  const std::string text = std::string("q\" b\\ s/ \x02 \xc3\xa9 end", 17);
  rapidjson::Document answer;
  answer.Parse(Connection::errorText(3, text).c_str());
  ASSERT_FALSE(answer.HasParseError());
  EXPECT_EQ(std::string(answer["error"].GetString(), answer["error"].GetStringLength()), text);
  EXPECT_EQ(answer["call_id"].GetInt(), 3);
}

TEST(CameraEventsConnectionTest, DecodeRequestRefusesWhatIsNotAJsonObject)
{
  for (const std::string& message : std::vector<std::string>{
           "not json", "[1]", "\"text\"", "", "{\"call_id\":1} x", "{\"a\":1,}", std::string(100000, '['),
           "{\"s\":\"\xff\"}",
           R"({"call_id":1,"command":"x","data":)" + std::string(Limits::maxJsonDepth, '[') +
               std::string(Limits::maxJsonDepth, ']') + "}"}) {
    const Connection::Request request = decode(message);
    EXPECT_EQ(request.error, "Invalid input data: invalid json") << message.substr(0, 20);
    EXPECT_EQ(request.callId, -1);
  }
}

TEST(CameraEventsConnectionTest, DecodeRequestChecksCallIdCommandAndData)
{
  // A missing call_id or command is checked end to end.
  for (const char* message :
       {R"({"call_id":"7","command":"x"})", R"({"call_id":1.5})", R"({"call_id":2147483648})",
        R"({"call_id":-2147483649})", R"({"call_id":null})"}) {
    const Connection::Request request = decode(message);
    EXPECT_EQ(request.error, "Invalid input data: call_id is missing or is not int") << message;
    EXPECT_EQ(request.callId, -1);
  }
  rapidjson::Document document;
  Connection::Request request = Connection::decodeRequest(
      R"( {"call_id":2147483647,"command":"send_event","data":{"declaration_id":"a"}} )", document);
  EXPECT_EQ(request.error, "");
  EXPECT_EQ(request.callId, 2147483647);
  EXPECT_EQ(request.command, "send_event");
  ASSERT_NE(request.data, nullptr);
  EXPECT_STREQ((*request.data)["declaration_id"].GetString(), "a");

  request = decode(R"({"call_id":3,"command":"undeclare_event"})");
  EXPECT_EQ(request.error, "");
  EXPECT_EQ(request.data, nullptr);
}

TEST(CameraEventsConnectionTest, ParseValueFollowsTheValueTypeRules)
{
  const auto mismatch = [](const std::string& type) {
    return "parseEventDeclaration: invalid value attribute: type " + type + " doesn't match the value";
  };
  EXPECT_EQ(valueError(R"({"value_type":"INT","value":true})"), mismatch("INT"));
  EXPECT_EQ(valueError(R"({"value_type":"STRING","value":null})"), mismatch("STRING"));
  EXPECT_EQ(valueError(R"({"value_type":3,"value":1})"),
            "parseValue: invalid or missing declaration attribute value_type");

  rapidjson::Document document = json(R"({"value_type":"INT","value":-2147483648})");
  Connection::EventValue value = Connection::parseValue(document);
  EXPECT_EQ(value.type, Connection::ValueType::Int);
  EXPECT_EQ(value.intValue, -2147483648);
  EXPECT_EQ(value.platformValue(), &value.intValue);

  document = json(R"({"value_type":"STRING","value":"a\u0000b"})");
  value = Connection::parseValue(document);
  EXPECT_EQ(value.stringValue, std::string("a\0b", 3));
  EXPECT_EQ(value.platformValue(), value.stringValue.c_str());
}

TEST(CameraEventsConnectionTest, ParseEventDeclarationReadsKeysInOrder)
{
  const rapidjson::Document document = json(R"({"declaration_id":"door","stateless":false,"declaration":[
      {"key":"a","value_type":"BOOL","value":false,"type":"SOURCE","namespace":"tns1","key_nice_name":"A"},
      {"key":"b","value_type":"STRING","value":"x","type":"DATA","value_nice_name":"X","namespace":7},
      {"key":"c","value_type":"INT","value":3,"type":"source"}]})");
  const auto declaration = Connection::parseEventDeclaration(document);
  EXPECT_EQ(declaration->declarationId, "door");
  EXPECT_FALSE(declaration->stateless);
  ASSERT_EQ(declaration->keyValues.size(), 3u);
  const auto& a = declaration->keyValues[0];
  EXPECT_EQ(a.key, "a");
  EXPECT_EQ(a.nameSpace, "tns1");
  const auto& b = declaration->keyValues[1];
  EXPECT_EQ(b.kind, Connection::KeyKind::Data);
  EXPECT_EQ(b.nameSpace, "");
  EXPECT_EQ(b.value.stringValue, "x");
  EXPECT_EQ(declaration->keyValues[2].kind, Connection::KeyKind::Unmarked);
}
