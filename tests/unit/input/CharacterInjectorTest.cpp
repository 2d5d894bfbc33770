// The typing logic of the X11 injector against a fake keyboard seam: which key, modifiers,
// group and level type a character on real layouts (us, de, be, two-group ru/us) with Caps
// Lock and the active group as the user left them, the spare-keycode remapping for
// characters the current group lacks, control characters, and that nothing stays pressed
// or remapped. Also the wheel-click accumulator.

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <limits>
#include <string>
#include <vector>

#include "platform/linux/x11input/CharacterInjector.h"
#include "platform/linux/input/WheelAccumulator.h"

namespace orvo::platform::x11 {
namespace {

constexpr int kWidth = 7;  // keysyms per keycode, as a server with XKB reports them

// Builds a core keymap: keycodes 8..maxKeycode, all empty until set.
KeyboardMapping makeMapping(int maxKeycode) {
  KeyboardMapping mapping;
  mapping.minKeycode = 8;
  mapping.keysymsPerKeycode = kWidth;
  mapping.keysyms.assign(static_cast<std::size_t>(maxKeycode - 7) * kWidth, kNoSymbol);
  return mapping;
}

void setRow(KeyboardMapping& mapping, Keycode keycode, std::vector<Keysym> keysyms) {
  keysyms.resize(kWidth, kNoSymbol);
  std::copy(keysyms.begin(), keysyms.end(),
            mapping.keysyms.begin() + static_cast<std::ptrdiff_t>(keycode - mapping.minKeycode) * kWidth);
}

// An XKB keymap as a server built from these names would hold (evdev keycodes: a is 38,
// Shift_L 50, Control_L 37, ISO_Level3_Shift 92).
XkbKeymap keymapFor(const char* layout) {
  static const std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
      xkb_context_new(XKB_CONTEXT_NO_FLAGS), &xkb_context_unref);
  const xkb_rule_names names{"evdev", "pc105", layout, "", ""};
  return adoptKeymap(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
}

// The core view of an XKB keymap that spare keycodes are found in: each key's keysyms of
// its first group.
KeyboardMapping coreMappingOf(const XkbKeymap& keymap) {
  KeyboardMapping m = makeMapping(255);
  for (xkb_keycode_t keycode = 8; keycode <= 255; ++keycode) {
    std::vector<Keysym> row;
    if (xkb_keymap_num_layouts_for_key(keymap.get(), keycode) > 0) {
      for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap.get(), keycode, 0); ++level) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap.get(), keycode, 0, level, &syms) > 0) row.push_back(syms[0]);
      }
    }
    if (row.size() > kWidth) row.resize(kWidth);
    setRow(m, static_cast<Keycode>(keycode), row);
  }
  m.modifierKeys[0] = {50, 62};  // Shift
  m.modifierKeys[2] = {37, 105};  // Control
  m.modifierKeys[7] = {92};      // Mod5
  return m;
}

// The seam as the server would behave: a remap replaces the keycode's row (padded with
// NoSymbol), and every operation is written down ("+38" press, "-38" release, "remap 254
// e9 e9").
class FakeKeyboardSeam final : public KeyboardSeam {
 public:
  explicit FakeKeyboardSeam(KeyboardMapping m, XkbKeymap xkb = keymapFor("us"))
      : keymap(std::move(m)), xkbKeymap(std::move(xkb)) {}
  explicit FakeKeyboardSeam(XkbKeymap xkb) : FakeKeyboardSeam(coreMappingOf(xkb), xkb) {}

  const KeyboardMapping* mapping() override { return available ? &keymap : nullptr; }
  const KeyboardLayout* layout() override {
    if (!available) return nullptr;
    current.emplace(xkbKeymap, state);
    return &*current;
  }
  void setKey(Keycode keycode, bool pressed) override {
    ops.push_back((pressed ? "+" : "-") + std::to_string(keycode));
  }
  // One keymap change, however many keycodes: "remap 254 e9 e9, 253 fc fc".
  void remap(std::span<const KeyRemap> keys) override {
    std::string op = "remap";
    for (const auto& key : keys) {
      op += (op == "remap" ? " " : ", ") + std::to_string(key.keycode);
      for (const Keysym keysym : key.keysyms) {
        char hex[16];
        std::snprintf(hex, sizeof hex, " %x", keysym);
        op += hex;
      }
      setRow(keymap, key.keycode, key.keysyms);
    }
    ops.push_back(op);
  }
  void flush() override { ops.push_back("flush"); }
  void sync() override { ops.push_back("sync"); }

  KeyboardMapping keymap;
  XkbKeymap xkbKeymap;
  KeyboardState state;
  std::optional<KeyboardLayout> current;
  bool available = true;
  std::vector<std::string> ops;
};

using Ops = std::vector<std::string>;

constexpr KeyboardState kPlain{};
constexpr KeyboardState kCapsLock{.lockedModifiers = kLockMask};
constexpr KeyboardState kSecondGroup{.group = 1};
constexpr KeyboardState kSecondGroupCapsLock{.lockedModifiers = kLockMask, .group = 1};

// Which key, modifiers, group and level type a character, on real layouts in the state
// the user left the keyboard in; none means the spare-keycode path.
TEST(KeyboardLayout, ChoosesKeyLevelAndGroupFromTheLayoutAndItsState) {
  struct Case {
    const char* layout;
    KeyboardState state;
    char32_t scalar;
    std::optional<KeyStroke> stroke;
  };
  const Case cases[] = {
      {"us", kPlain, U'a', KeyStroke{38, {}, 0, 0}},
      {"us", kPlain, U'A', KeyStroke{38, {50}, 0, 1}},
      {"us", kPlain, U'1', KeyStroke{10, {}, 0, 0}},  // never the keypad's KP_1
      {"us", kPlain, U' ', KeyStroke{65, {}, 0, 0}},
      {"us", kPlain, U'|', KeyStroke{51, {50}, 0, 1}},
      {"us", kPlain, U'\u00C9', std::nullopt},  // É: no key
      {"us", kPlain, U'\U0001F600', std::nullopt},
      // Caps Lock on: Shift gives the lower case, no Shift the upper; digits stay.
      {"us", kCapsLock, U'a', KeyStroke{38, {50}, 0, 0}},
      {"us", kCapsLock, U'B', KeyStroke{56, {}, 0, 1}},
      {"us", kCapsLock, U'1', KeyStroke{10, {}, 0, 0}},
      {"us", kCapsLock, U'!', KeyStroke{10, {50}, 0, 1}},
      // German: AltGr characters on the third level, y and z swapped.
      {"de", kPlain, U'@', KeyStroke{24, {92}, 0, 2}},
      {"de", kPlain, U'\u20AC', KeyStroke{26, {92}, 0, 2}},
      {"de", kPlain, U'{', KeyStroke{16, {92}, 0, 2}},
      {"de", kPlain, U'[', KeyStroke{17, {92}, 0, 2}},
      {"de", kPlain, U']', KeyStroke{18, {92}, 0, 2}},
      {"de", kPlain, U'}', KeyStroke{19, {92}, 0, 2}},
      {"de", kPlain, U'\\', KeyStroke{20, {92}, 0, 2}},
      {"de", kPlain, U'|', KeyStroke{94, {92}, 0, 2}},
      {"de", kPlain, U'~', KeyStroke{35, {92}, 0, 2}},
      {"de", kPlain, U'y', KeyStroke{52, {}, 0, 0}},
      {"de", kPlain, U'z', KeyStroke{29, {}, 0, 0}},
      {"de", kPlain, U'\u00E4', KeyStroke{48, {}, 0, 0}},
      {"de", kCapsLock, U'\u00C4', KeyStroke{48, {}, 0, 1}},
      // Belgian AZERTY: digits need Shift; AltGr characters on the digit row and beside it.
      {"be", kPlain, U'a', KeyStroke{24, {}, 0, 0}},
      {"be", kPlain, U'z', KeyStroke{25, {}, 0, 0}},
      {"be", kPlain, U'1', KeyStroke{10, {50}, 0, 1}},
      {"be", kPlain, U'@', KeyStroke{11, {92}, 0, 2}},
      {"be", kPlain, U'|', KeyStroke{10, {92}, 0, 2}},
      {"be", kPlain, U'{', KeyStroke{16, {92}, 0, 2}},
      {"be", kPlain, U'}', KeyStroke{19, {92}, 0, 2}},
      {"be", kPlain, U'[', KeyStroke{17, {92}, 0, 2}},
      {"be", kPlain, U']', KeyStroke{35, {92}, 0, 2}},
      {"be", kPlain, U'\\', KeyStroke{20, {92}, 0, 2}},
      {"be", kPlain, U'\u20AC', KeyStroke{26, {92}, 0, 2}},
      {"be", kPlain, U'~', std::nullopt},  // only a dead tilde there: a spare keycode types it
      // Two groups: the active one decides; a letter it lacks takes a spare keycode.
      {"ru,us", kPlain, U'\u0444', KeyStroke{38, {}, 0, 0}},  // ф
      {"ru,us", kPlain, U'a', std::nullopt},
      {"ru,us", kPlain, U'1', KeyStroke{10, {}, 0, 0}},
      {"ru,us", kSecondGroup, U'a', KeyStroke{38, {}, 1, 0}},
      {"us,ru", kPlain, U'a', KeyStroke{38, {}, 0, 0}},
      {"us,ru", kSecondGroup, U'a', std::nullopt},
      {"us,ru", kSecondGroup, U'\u0444', KeyStroke{38, {}, 1, 0}},
      {"us,ru", kSecondGroupCapsLock, U'\u0444', KeyStroke{38, {50}, 1, 0}},
      {"us,ru", kSecondGroupCapsLock, U'\u0424', KeyStroke{38, {}, 1, 1}},  // Ф
      {"us,ru", kSecondGroup, U' ', KeyStroke{65, {}, 0, 0}},  // one group on that key: wraps
  };
  for (const auto& c : cases) {
    const KeyboardLayout layout(keymapFor(c.layout), c.state);
    EXPECT_EQ(layout.strokeForScalar(c.scalar), c.stroke)
        << c.layout << " locked " << c.state.lockedModifiers << " group " << c.state.group << " U+" << std::hex
        << static_cast<std::uint32_t>(c.scalar);
  }
  const KeyboardLayout us(keymapFor("us"), kCapsLock);
  EXPECT_EQ(us.strokeForKeysym(XKB_KEY_Return), (KeyStroke{36, {}, 0, 0}));
  EXPECT_EQ(us.strokeForKeysym(XKB_KEY_ISO_Left_Tab), (KeyStroke{23, {50}, 0, 1}));
  EXPECT_EQ(us.shiftKey(), Keycode{50});
  EXPECT_EQ(us.controlKey(), Keycode{37});
  const KeyboardLayout ruSecond(keymapFor("us,ru"), kSecondGroup);
  EXPECT_EQ(ruSecond.strokeForKeysym(XKB_KEY_Return), (KeyStroke{36, {}, 0, 0}));
}

TEST(KeyboardMapping, UnusedKeycodesHaveNoKeysymAndNoModifier) {
  KeyboardMapping m = makeMapping(12);
  setRow(m, 9, {XKB_KEY_a});
  m.modifierKeys[3] = {11};  // bound to Mod1 although it has no keysym
  EXPECT_EQ(m.unusedKeycodes(), (std::vector<Keycode>{8, 10, 12}));
  EXPECT_EQ(m.maxKeycode(), 12);
  EXPECT_EQ(m.keysymAt(13, 0), kNoSymbol);  // outside the mapping
}

TEST(KeyboardMapping, KeysymsForCharacters) {
  EXPECT_EQ(keysymForScalar(U'a'), XKB_KEY_a);
  EXPECT_EQ(keysymForScalar(U'\u00E9'), XKB_KEY_eacute);  // Latin-1 keysym
  EXPECT_EQ(keysymForScalar(U'\u20AC'), 0x010020ACu);      // Unicode keysym beyond Latin-1
  EXPECT_EQ(keysymForScalar(U'\U0001F600'), 0x0101F600u);
  EXPECT_EQ(keysymForScalar(U'\t'), XKB_KEY_Tab);
  EXPECT_EQ(keysymForScalar(U'\n'), XKB_KEY_Return);
  EXPECT_EQ(keysymForScalar(U'\r'), XKB_KEY_Return);
  EXPECT_EQ(keysymForScalar(0x01), std::nullopt);
  EXPECT_EQ(keysymForScalar(0x85), std::nullopt);
  EXPECT_EQ(keysymForScalar(0xD800), std::nullopt);
  EXPECT_EQ(keysymForScalar(0x110000), std::nullopt);
}

class CharacterInjectorTest : public ::testing::Test {
 protected:
  FakeKeyboardSeam seam{keymapFor("us")};
  CharacterInjector injector{seam};
  // The spare keycodes, highest first: the order they are taken in.
  const std::vector<Keycode> spares = [this] {
    auto unused = seam.keymap.unusedKeycodes();
    return std::vector<Keycode>(unused.rbegin(), unused.rend());
  }();
  std::string spare(std::size_t i) const { return std::to_string(spares.at(i)); }
};

TEST_F(CharacterInjectorTest, TypesThroughTheKeymapWithModifiersHeldAroundTheKey) {
  ASSERT_GE(spares.size(), 2u);
  ASSERT_TRUE(injector.typeCharacter(U'a', 0));
  ASSERT_TRUE(injector.typeCharacter(U'A', 0));
  EXPECT_EQ(seam.ops, (Ops{"+38", "-38", "flush", "+50", "+38", "-38", "-50", "flush"}));

  FakeKeyboardSeam german(keymapFor("de"));
  CharacterInjector typist(german);
  ASSERT_TRUE(typist.typeCharacter(U'@', 0));
  EXPECT_EQ(german.ops, (Ops{"+92", "+24", "-24", "-92", "flush"}));
  EXPECT_EQ(typist.heldKeyCount(), 0u);
  EXPECT_EQ(typist.remappedCount(), 0u);
}

TEST_F(CharacterInjectorTest, CapsLockDoesNotChangeWhatIsTyped) {
  seam.state = kCapsLock;
  ASSERT_TRUE(injector.typeCharacter(U'a', 0));
  ASSERT_TRUE(injector.typeCharacter(U'B', 0));
  EXPECT_EQ(seam.ops, (Ops{"+50", "+38", "-38", "-50", "flush", "+56", "-56", "flush"}));
}

TEST_F(CharacterInjectorTest, ControlCharactersTypeTheirOwnKeysOrControlAndTheirLetter) {
  const struct {
    char32_t scalar;
    KeyboardState state;
    Ops ops;
  } cases[] = {
      {U'\t', kPlain, {"+23", "-23", "flush"}},
      {U'\r', kPlain, {"+36", "-36", "flush"}},
      {U'\n', kPlain, {"+36", "-36", "flush"}},
      {0x08, kPlain, {"+22", "-22", "flush"}},
      {0x1B, kPlain, {"+9", "-9", "flush"}},
      {0x03, kPlain, {"+37", "+54", "-54", "-37", "flush"}},  // Ctrl+C
      {0x03, kCapsLock, {"+37", "+54", "-54", "-37", "flush"}},  // no Shift for Caps Lock
      {0x01, kPlain, {"+37", "+38", "-38", "-37", "flush"}},  // Ctrl+A
      {0x1A, kPlain, {"+37", "+52", "-52", "-37", "flush"}},  // Ctrl+Z
      {0x1C, kPlain, {"+37", "+51", "-51", "-37", "flush"}},  // Ctrl+backslash
      {0x1F, kPlain, {"+37", "+50", "+20", "-20", "-50", "-37", "flush"}},  // Ctrl+underscore
  };
  for (const auto& c : cases) {
    seam.ops.clear();
    seam.state = c.state;
    ASSERT_TRUE(injector.typeCharacter(c.scalar, 0)) << static_cast<std::uint32_t>(c.scalar);
    EXPECT_EQ(seam.ops, c.ops) << static_cast<std::uint32_t>(c.scalar);
  }
  seam.ops.clear();
  seam.state = kPlain;
  EXPECT_FALSE(injector.typeCharacter(0x00, 0));
  EXPECT_FALSE(injector.typeCharacter(0x85, 0));  // C1 controls have no key
  EXPECT_FALSE(injector.typeCharacter(0x9B, 0));
  EXPECT_TRUE(seam.ops.empty());

  // A layout without Latin letters: Control with a spare keycode that types the letter.
  FakeKeyboardSeam russian(keymapFor("ru,us"));
  CharacterInjector typist(russian);
  const std::string top = std::to_string(russian.keymap.unusedKeycodes().back());
  ASSERT_TRUE(typist.typeCharacter(0x03, 0));
  EXPECT_EQ(russian.ops, (Ops{"remap " + top + " 63 63", "+37", "+" + top, "-" + top, "-37", "flush"}));
  typist.releaseAll();
  russian.ops.clear();
  russian.state = kCapsLock;  // still no Shift: the upper case of the pair
  ASSERT_TRUE(typist.typeCharacter(0x03, 0));
  EXPECT_EQ(russian.ops, (Ops{"remap " + top + " 63 43", "+37", "+" + top, "-" + top, "-37", "flush"}));
  typist.releaseAll();
}

TEST_F(CharacterInjectorTest, MissingCharactersGoThroughASpareKeycodeKeptForItsHold) {
  const KeyboardMapping before = seam.keymap;
  ASSERT_TRUE(injector.typeCharacter(U'\U0001F600', 10.0));
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 10.1));
  ASSERT_TRUE(injector.typeCharacter(U'\U0001F600', 10.5));  // still mapped: no second change
  EXPECT_EQ(seam.ops, (Ops{"remap " + spare(0) + " 101f600 101f600", "+" + spare(0), "-" + spare(0), "flush",
                           "remap " + spare(1) + " e9 e9", "+" + spare(1), "-" + spare(1), "flush", "+" + spare(0),
                           "-" + spare(0), "flush"}));
  EXPECT_EQ(injector.remappedCount(), 2u);

  seam.ops.clear();
  EXPECT_EQ(injector.restoreIdle(11.9), 12.1);  // nothing due yet: é was last used at 10.1
  EXPECT_TRUE(seam.ops.empty());
  EXPECT_EQ(injector.restoreIdle(12.1), 12.5);  // é's keycode goes back, the emoji's stays
  EXPECT_EQ(seam.ops, (Ops{"remap " + spare(1) + " 0 0 0 0 0 0 0", "flush"}));
  EXPECT_EQ(injector.restoreIdle(12.5), std::nullopt);
  EXPECT_EQ(seam.keymap.keysyms, before.keysyms);
}

// A spare keycode given one cased keysym would be read as the (lower, upper) pair: É
// would come out as é. It gets the keysym at both levels, or, with Caps Lock on, the pair
// with the lower case typed with Shift.
TEST_F(CharacterInjectorTest, CapitalsWithoutAKeyComeOutCapital) {
  for (const char32_t capital : {U'\u00C9', U'\u00DC', U'\u00D1', U'\u00C7'}) {
    ASSERT_TRUE(injector.typeCharacter(capital, 0));
  }
  EXPECT_EQ(seam.ops.front(), "remap " + spare(0) + " c9 c9");
  EXPECT_EQ(seam.keymap.keysymAt(spares[1], 0), static_cast<Keysym>(XKB_KEY_Udiaeresis));
  EXPECT_EQ(seam.keymap.keysymAt(spares[1], 1), static_cast<Keysym>(XKB_KEY_Udiaeresis));
  injector.releaseAll();

  seam.ops.clear();
  seam.state = kCapsLock;
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 0));
  ASSERT_TRUE(injector.typeCharacter(U'\u00C9', 0));  // the same keycode, without Shift
  EXPECT_EQ(seam.ops, (Ops{"remap " + spare(0) + " e9 c9", "+50", "+" + spare(0), "-" + spare(0), "-50", "flush",
                           "+" + spare(0), "-" + spare(0), "flush"}));
  // Uncased characters need no pair.
  ASSERT_TRUE(injector.typeCharacter(U'\u4E2D', 0));
  EXPECT_EQ(seam.ops.at(9), "remap " + spare(1) + " 1004e2d 1004e2d");
}

// A run of characters without keys changes the keymap once for all the spare keycodes it
// needs, then presses them in order with one flush; a character typed twice in the run
// uses its keycode twice. Restores that fall due together are one change too.
TEST_F(CharacterInjectorTest, ARunOfMissingCharactersChangesTheKeymapOnce) {
  const KeyboardMapping before = seam.keymap;
  const std::u32string run = U"a\u4E2D\u00E9b\u4E2D";
  EXPECT_EQ(injector.typeCharacters(run, 5.0), run.size());
  EXPECT_EQ(seam.ops, (Ops{"remap " + spare(0) + " 1004e2d 1004e2d, " + spare(1) + " e9 e9", "+38", "-38",
                           "+" + spare(0), "-" + spare(0), "+" + spare(1), "-" + spare(1), "+56", "-56",
                           "+" + spare(0), "-" + spare(0), "flush"}));
  EXPECT_EQ(injector.remappedCount(), 2u);
  seam.ops.clear();
  EXPECT_EQ(injector.restoreIdle(7.0), std::nullopt);
  EXPECT_EQ(seam.ops, (Ops{"remap " + spare(0) + " 0 0 0 0 0 0 0, " + spare(1) + " 0 0 0 0 0 0 0", "flush"}));
  EXPECT_EQ(seam.keymap.keysyms, before.keysyms);
}

// More different characters than spare keycodes: the run stops where it would have to
// give a keycode pressed in this run, or less than remapReuseSeconds ago, another keysym;
// the rest is taken later, on the keycodes used longest ago. Nothing is typed wrong.
TEST(CharacterInjector, ARunStopsWhereItWouldReuseABusySpareKeycode) {
  KeyboardMapping m = makeMapping(12);
  setRow(m, 8, {XKB_KEY_a});
  setRow(m, 9, {XKB_KEY_b});
  setRow(m, 10, {XKB_KEY_c});  // spares: 12 and 11
  FakeKeyboardSeam seam(m);
  CharacterInjector injector(seam);
  const std::u32string run = U"\u4E00\u4E01\u4E02\u4E03";
  ASSERT_EQ(injector.typeCharacters(run, 1.0), 2u);
  EXPECT_EQ(seam.ops, (Ops{"remap 12 1004e00 1004e00, 11 1004e01 1004e01", "+12", "-12", "+11", "-11", "flush"}));
  seam.ops.clear();
  // Too soon: both were pressed less than remapReuseSeconds ago.
  EXPECT_EQ(injector.typeCharacters(run.substr(2), 1.0 + CharacterInjector::remapReuseSeconds / 2), 0u);
  EXPECT_TRUE(seam.ops.empty());
  EXPECT_EQ(injector.typeCharacters(run.substr(2), 1.0 + CharacterInjector::remapReuseSeconds), 2u);
  EXPECT_EQ(seam.ops, (Ops{"remap 12 1004e02 1004e02, 11 1004e03 1004e03", "+12", "-12", "+11", "-11", "flush"}));
  injector.releaseAll();
  EXPECT_EQ(seam.keymap.keysyms, m.keysyms);

  // Without any spare keycode, characters without keys are skipped, not waited for.
  KeyboardMapping full = makeMapping(9);
  setRow(full, 8, {XKB_KEY_a});
  setRow(full, 9, {XKB_KEY_b});
  FakeKeyboardSeam noSpare(full);
  CharacterInjector typist(noSpare);
  EXPECT_EQ(typist.typeCharacters(U"\u4E00a\u4E01", 0), 3u);
  EXPECT_EQ(noSpare.ops, (Ops{"+38", "-38", "flush"}));
}

TEST_F(CharacterInjectorTest, ReleaseAllRestoresTheKeymapAndWaitsForTheServer) {
  const KeyboardMapping before = seam.keymap;
  ASSERT_TRUE(injector.typeCharacter(U'\u4E2D', 0));
  ASSERT_TRUE(injector.typeKeysym(XKB_KEY_Pointer_Button1, 0));  // a key this keymap lacks
  ASSERT_NE(seam.keymap.keysyms, before.keysyms);
  seam.ops.clear();
  injector.releaseAll();
  EXPECT_EQ(seam.ops,
            (Ops{"remap " + spare(0) + " 0 0 0 0 0 0 0, " + spare(1) + " 0 0 0 0 0 0 0", "sync"}));
  EXPECT_EQ(seam.keymap.keysyms, before.keysyms);
  EXPECT_EQ(injector.remappedCount(), 0u);

  seam.ops.clear();
  injector.releaseAll();  // nothing left to undo
  EXPECT_TRUE(seam.ops.empty());
}

TEST(CharacterInjector, ReusesTheLeastRecentlyUsedSpareWhenAllAreTaken) {
  KeyboardMapping m = makeMapping(12);
  setRow(m, 8, {XKB_KEY_a});
  setRow(m, 9, {XKB_KEY_b});
  setRow(m, 10, {XKB_KEY_c});  // spares: 11 and 12
  FakeKeyboardSeam seam(m);
  CharacterInjector injector(seam);
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 1.0));  // 12
  ASSERT_TRUE(injector.typeCharacter(U'\u00FC', 1.1));  // 11
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 1.2));  // 12 again, now the more recent
  ASSERT_TRUE(injector.typeCharacter(U'\u00F1', 1.3));  // takes 11, used longest ago
  EXPECT_EQ(seam.ops.back(), "flush");
  EXPECT_EQ(seam.keymap.keysymAt(11, 0), static_cast<Keysym>(XKB_KEY_ntilde));
  EXPECT_EQ(seam.keymap.keysymAt(12, 0), static_cast<Keysym>(XKB_KEY_eacute));
  EXPECT_EQ(injector.remappedCount(), 2u);
  injector.releaseAll();
  EXPECT_EQ(seam.keymap.keysyms, m.keysyms);
}

TEST(CharacterInjector, FailsWithoutASpareOrADisplay) {
  KeyboardMapping m = makeMapping(9);
  setRow(m, 8, {XKB_KEY_a});
  setRow(m, 9, {XKB_KEY_b});
  FakeKeyboardSeam seam(m);
  CharacterInjector injector(seam);
  EXPECT_FALSE(injector.typeCharacter(U'\u00E9', 0));
  EXPECT_TRUE(seam.ops.empty());

  seam.available = false;
  EXPECT_FALSE(injector.typeCharacter(U'a', 0));
  EXPECT_FALSE(injector.typeKeysym(XKB_KEY_Return, 0));
  EXPECT_TRUE(seam.ops.empty());
}

TEST_F(CharacterInjectorTest, ForgetDropsStateWithoutTouchingTheServer) {
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 0));
  seam.ops.clear();
  injector.forget();
  injector.releaseAll();
  EXPECT_TRUE(seam.ops.empty());
  EXPECT_EQ(injector.remappedCount(), 0u);
}

TEST(WheelAccumulator, CarriesTheRemainderAndCapsABurst) {
  constexpr std::int64_t step = WheelAccumulator::pixelsPerClick;
  WheelAccumulator wheel;
  struct Step {
    std::int32_t pixels;
    std::int64_t clicks;
    std::int64_t remainder;
  };
  const Step steps[] = {
      {static_cast<std::int32_t>(step * 3 / 5), 0, step * 3 / 5},  // slow scrolling adds up...
      {static_cast<std::int32_t>(step * 3 / 5), 1, step / 5},      // ...to a click
      {static_cast<std::int32_t>(-step * 2 / 5), 0, -step / 5},    // a reversal eats the carried part
      {static_cast<std::int32_t>(-step * 2), -2, -step / 5},
      {static_cast<std::int32_t>(step * 5 + step / 5), 5, 0},
      {std::numeric_limits<std::int32_t>::max(), WheelAccumulator::maxClicks, 0},
      {std::numeric_limits<std::int32_t>::min(), -WheelAccumulator::maxClicks, 0},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(wheel.add(s.pixels), s.clicks) << s.pixels;
    EXPECT_EQ(wheel.remainder(), s.remainder) << s.pixels;
  }
  wheel.add(static_cast<std::int32_t>(step - 1));
  wheel.reset();
  EXPECT_EQ(wheel.add(1), 0);
  EXPECT_EQ(wheel.remainder(), 1);
}

}  // namespace
}  // namespace orvo::platform::x11
