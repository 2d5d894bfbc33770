#include "unit/input/InputHarness.h"

namespace orvo::testing {
namespace {

class KeyboardInputTest : public InputHarness {
 protected:
  // The posts as short strings: "key 36", "char 97".
  std::vector<std::string> posts() const {
    std::vector<std::string> out;
    for (const auto& post : injector.posts) {
      if (post.kind == "key") out.push_back("key " + std::to_string(post.keyCode));
      if (post.kind == "character") out.push_back("char " + std::to_string(static_cast<std::uint32_t>(post.scalar)));
    }
    return out;
  }
};

using Strings = std::vector<std::string>;

TEST_F(KeyboardInputTest, CarriageReturnAndLineFeedAreTwoReturnPresses) {
  input.handleKeyboardText("a\r\n");
  EXPECT_EQ(posts(), (Strings{"char 97", "key 36", "key 36"}));
  EXPECT_EQ(logger.lines(), (Strings{"OrvoHost: scalar from client = 97", "OrvoHost: scalar from client = 13",
                                     "OrvoHost: interpreting scalar 13 as ENTER", "OrvoHost: scalar from client = 10",
                                     "OrvoHost: interpreting scalar 10 as ENTER"}));
  EXPECT_EQ(recorder.notes, (std::vector<std::optional<std::uint32_t>>{std::nullopt}));
}

TEST_F(KeyboardInputTest, EachScalarIsOnePress) {
  struct Case {
    const char* text;
    Strings expected;
  };
  const Case cases[] = {
      {"\x7f", {"key 51"}},
      {"\b", {"key 51"}},
      {"\t", {"char 9"}},                    // tab is a character, not a key code
      {"\xC3\xA9", {"char 233"}},            // precomposed é
      {"e\xCC\x81", {"char 101", "char 769"}},  // e + combining acute: two presses
      {"\xE2\x82\xAC", {"char 8364"}},       // €
      {"\xF0\x9F\x98\x80", {"char 128512"}},  // an emoji beyond U+FFFF is typed too
  };
  for (const auto& c : cases) {
    injector.posts.clear();
    input.handleKeyboardText(c.text);
    EXPECT_EQ(posts(), c.expected) << c.text;
  }
  EXPECT_TRUE(logger.has("OrvoHost: interpreting scalar 127 as BACKSPACE"));
  EXPECT_TRUE(logger.has("OrvoHost: interpreting scalar 8 as BACKSPACE"));
  EXPECT_TRUE(logger.has("OrvoHost: scalar from client = 128512"));
}

TEST_F(KeyboardInputTest, EmptyTextOrNoPermissionDoesNothing) {
  input.handleKeyboardText("");
  session.permitted = false;
  input.handleKeyboardText("abc");
  input.handleKeyboardCommand(KeyboardCommand::enter);
  loop.drain();
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_TRUE(recorder.notes.empty());
  EXPECT_TRUE(logger.lines().empty());
  EXPECT_TRUE(activation.calls.empty());
}

TEST_F(KeyboardInputTest, TextFocusesTheActiveWindowOnceWithinTheThrottle) {
  input.handleKeyboardText("x");  // no active window yet: nothing focused, still typed
  loop.drain();
  EXPECT_EQ(posts(), (Strings{"char 120"}));
  EXPECT_TRUE(activatedPids().empty());

  focus.setClientActiveWindow(7);
  loop.drain();
  input.handleKeyboardText("y");
  EXPECT_TRUE(activatedPids().empty());  // the keys go before the focusing
  EXPECT_EQ(posts().size(), 2u);
  loop.advance(0.1);
  input.handleKeyboardText("z");
  loop.drain();
  EXPECT_EQ(activatedPids(), (std::vector<std::int64_t>{100}));
  EXPECT_EQ(posts().size(), 3u);
}

TEST_F(KeyboardInputTest, CommandsPressTheirKeyCodes) {
  const std::pair<KeyboardCommand, std::uint16_t> cases[] = {
      {KeyboardCommand::backspace, 51}, {KeyboardCommand::enter, 36},      {KeyboardCommand::escape, 53},
      {KeyboardCommand::leftArrow, 123}, {KeyboardCommand::rightArrow, 124}, {KeyboardCommand::upArrow, 126},
      {KeyboardCommand::downArrow, 125}};
  focus.setClientActiveWindow(7);
  for (const auto& [command, code] : cases) {
    injector.posts.clear();
    input.handleKeyboardCommand(command);
    EXPECT_EQ(posts(), (Strings{"key " + std::to_string(code)})) << keyboardCommandName(command);
  }
  loop.drain();
  EXPECT_EQ(recorder.notes.size(), 7u);
  EXPECT_TRUE(activation.calls.empty());  // a command focuses nothing
  EXPECT_TRUE(logger.lines().empty());
}

}  // namespace
}  // namespace orvo::testing
