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
  EXPECT_EQ(logger.lines(), (Strings{"OrvoHost: keyboardText of 3 characters"}));
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
  EXPECT_EQ(logger.countPrefix("OrvoHost: keyboardText of 1 characters"), 6u);
  EXPECT_EQ(logger.countPrefix("OrvoHost: keyboardText of 2 characters"), 1u);
}

// A long text is typed a slice at a time, one slice per turn of the main queue, with the
// keys of commands in their place; one log line for the message.
TEST_F(KeyboardInputTest, LongTextIsTypedInSlicesInOrderWithCommandsAfterIt) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>('a' + i % 26);
  text += "\n";
  for (int i = 0; i < 50; ++i) text += "\xE4\xB8\xAD";  // 中
  input.handleKeyboardText(text);
  EXPECT_EQ(injector.posts.size(), KeyboardInput::sliceScalars);  // the first slice at once
  input.handleKeyboardCommand(KeyboardCommand::escape);             // waits behind the text
  EXPECT_EQ(input.keyboard().pendingScalars(), 201u - KeyboardInput::sliceScalars + 1);
  loop.drain();
  ASSERT_EQ(injector.posts.size(), 202u);
  for (int i = 0; i < 150; ++i) EXPECT_EQ(injector.posts[i].scalar, static_cast<char32_t>('a' + i % 26)) << i;
  EXPECT_EQ(posts()[150], "key 36");
  EXPECT_EQ(posts()[151], "char 20013");
  EXPECT_EQ(posts()[200], "char 20013");
  EXPECT_EQ(posts()[201], "key 53");
  // Runs of at most a slice, each call one run.
  for (const auto run : injector.runs) EXPECT_LE(run, KeyboardInput::sliceScalars);
  EXPECT_EQ(logger.lines(), (Strings{"OrvoHost: keyboardText of 201 characters"}));
}

// The bounds: at most maxScalarsPerMessage of a message, an allowance that refills at
// scalarsPerSecond, at most maxPendingScalars waiting; past them text is dropped and the
// one line of the message says how much.
TEST_F(KeyboardInputTest, TextPastTheBoundsIsDroppedAndSaidOnce) {
  injector.runLimit = 0;  // an injector that takes nothing yet: everything waits
  input.handleKeyboardText(std::string(600 * 1024, 'x'));
  EXPECT_EQ(input.keyboard().pendingScalars(), KeyboardInput::maxScalarsPerMessage);
  EXPECT_TRUE(logger.has("OrvoHost: keyboardText of 614400 characters; 610304 dropped (longer than one message may be)"));
  // The allowance is spent: the next message, at once, is dropped whole.
  input.handleKeyboardText("more");
  EXPECT_TRUE(logger.has("OrvoHost: keyboardText of 4 characters; 4 dropped (typing rate or backlog)"));
  EXPECT_EQ(input.keyboard().pendingScalars(), KeyboardInput::maxScalarsPerMessage);
  // A second later the allowance has grown by scalarsPerSecond.
  loop.advance(1.0);
  input.handleKeyboardText(std::string(2000, 'y'));
  EXPECT_EQ(input.keyboard().pendingScalars(),
            KeyboardInput::maxScalarsPerMessage + static_cast<std::size_t>(KeyboardInput::scalarsPerSecond));
  // What waits never passes maxPendingScalars, however long the client keeps sending.
  for (int i = 0; i < 20; ++i) {
    loop.advance(4.0);
    input.handleKeyboardText(std::string(4096, 'z'));
    EXPECT_LE(input.keyboard().pendingScalars(), KeyboardInput::maxPendingScalars);
  }
  EXPECT_EQ(input.keyboard().pendingScalars(), KeyboardInput::maxPendingScalars);
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_EQ(logger.countPrefix("OrvoHost: keyboardText of"), 23u);

  // The end of the session drops what waits; the injector, free again, types nothing more.
  input.resetClickTracking();
  injector.runLimit = SIZE_MAX;
  loop.advance(1.0);
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_EQ(input.keyboard().pendingScalars(), 0u);
}

// An injector that takes part of a run (its spare keys busy) is offered the rest a little
// later, and the text still arrives whole and in order.
TEST_F(KeyboardInputTest, WhatTheInjectorCannotTakeYetIsOfferedAgainLater) {
  injector.runLimit = 5;
  std::string text;
  for (int i = 0; i < 40; ++i) text += "\xE4\xB8\x80";  // 一
  input.handleKeyboardText(text + "ok");
  EXPECT_EQ(injector.posts.size(), 5u);
  loop.advance(KeyboardInput::retryDelay * 0.9);
  EXPECT_EQ(injector.posts.size(), 5u);  // not before the delay
  loop.advance(KeyboardInput::retryDelay * 0.2);
  EXPECT_EQ(injector.posts.size(), 10u);
  loop.advance(1.0);
  ASSERT_EQ(injector.posts.size(), 42u);
  EXPECT_EQ(posts()[40], "char 111");
  EXPECT_EQ(posts()[41], "char 107");
  // Permission withdrawn while text waits: the rest is not typed.
  input.handleKeyboardText(text);
  session.permitted = false;
  loop.advance(1.0);
  EXPECT_EQ(injector.posts.size(), 47u);
  EXPECT_EQ(input.keyboard().pendingScalars(), 0u);
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
