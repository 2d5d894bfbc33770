// The typing logic of the X11 injector against a fake keyboard seam: which key and which
// modifiers type a character, the spare-keycode remapping for characters the keymap
// lacks, and that nothing stays pressed or remapped. Also the wheel-click accumulator.

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "platform/linux/x11input/CharacterInjector.h"
#include "platform/linux/x11input/WheelAccumulator.h"

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

// A US-like keymap with a third level, a Cyrillic key and the Euro sign on AltGr+e.
KeyboardMapping desktopMapping() {
  KeyboardMapping m = makeMapping(255);
  setRow(m, 9, {XKB_KEY_Escape});
  setRow(m, 10, {XKB_KEY_1, XKB_KEY_exclam});
  setRow(m, 22, {XKB_KEY_BackSpace});
  setRow(m, 23, {XKB_KEY_Tab, XKB_KEY_ISO_Left_Tab});
  setRow(m, 26, {XKB_KEY_e, XKB_KEY_E, XKB_KEY_e, XKB_KEY_E, XKB_KEY_EuroSign});
  setRow(m, 36, {XKB_KEY_Return});
  setRow(m, 38, {XKB_KEY_a, XKB_KEY_A, XKB_KEY_a, XKB_KEY_A});
  setRow(m, 45, {XKB_KEY_Cyrillic_ka, XKB_KEY_Cyrillic_KA});
  setRow(m, 50, {XKB_KEY_Shift_L});
  setRow(m, 51, {XKB_KEY_backslash, XKB_KEY_bar});
  setRow(m, 62, {XKB_KEY_Shift_R});
  setRow(m, 65, {XKB_KEY_space});
  setRow(m, 66, {XKB_KEY_Caps_Lock});
  setRow(m, 87, {XKB_KEY_KP_End, XKB_KEY_KP_1});
  setRow(m, 92, {XKB_KEY_ISO_Level3_Shift});
  setRow(m, 94, {XKB_KEY_less, XKB_KEY_greater, XKB_KEY_less, XKB_KEY_greater, XKB_KEY_bar, XKB_KEY_brokenbar});
  setRow(m, 111, {XKB_KEY_Up});
  setRow(m, 113, {XKB_KEY_Left});
  setRow(m, 114, {XKB_KEY_Right});
  setRow(m, 116, {XKB_KEY_Down});
  m.modifierKeys[0] = {50, 62};  // Shift
  m.modifierKeys[1] = {66};      // Lock
  m.modifierKeys[7] = {92};      // Mod5
  return m;
}

// The seam as the server would behave: a remap replaces the keycode's row (padded with
// NoSymbol), and every operation is written down ("+38" press, "-38" release).
class FakeKeyboardSeam final : public KeyboardSeam {
 public:
  explicit FakeKeyboardSeam(KeyboardMapping m) : keymap(std::move(m)) {}

  const KeyboardMapping* mapping() override { return available ? &keymap : nullptr; }
  void setKey(Keycode keycode, bool pressed) override {
    ops.push_back((pressed ? "+" : "-") + std::to_string(keycode));
  }
  void remap(Keycode keycode, std::span<const Keysym> keysyms) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", keysyms.empty() ? 0u : keysyms[0]);
    ops.push_back("remap " + std::to_string(keycode) + " " + hex);
    setRow(keymap, keycode, {keysyms.begin(), keysyms.end()});
  }
  void flush() override { ops.push_back("flush"); }
  void sync() override { ops.push_back("sync"); }

  KeyboardMapping keymap;
  bool available = true;
  std::vector<std::string> ops;
};

using Ops = std::vector<std::string>;

TEST(KeyboardMapping, FindsTheCheapestKeyAndItsModifiers) {
  const KeyboardMapping m = desktopMapping();
  struct Case {
    char32_t scalar;
    std::optional<KeyStroke> stroke;
  };
  const Case cases[] = {
      {U'a', KeyStroke{38, {}}},
      {U'A', KeyStroke{38, {50}}},
      {U'|', KeyStroke{51, {50}}},           // Shift on 51 beats the third level on 94
      {U'\u00A6', KeyStroke{94, {50, 92}}},  // broken bar: Shift + third level
      {U'\u20AC', KeyStroke{26, {92}}},      // the legacy EuroSign keysym counts
      {U'\u043A', KeyStroke{45, {}}},        // Cyrillic ka, a legacy keysym too
      {U'1', KeyStroke{10, {}}},             // never the keypad's KP_1
      {U' ', KeyStroke{65, {}}},
      {U'\u00E9', std::nullopt},
      {U'\U0001F600', std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(m.strokeForScalar(c.scalar), c.stroke) << "U+" << std::hex << static_cast<std::uint32_t>(c.scalar);
  }
  EXPECT_EQ(m.strokeForKeysym(XKB_KEY_Return), (KeyStroke{36, {}}));
  EXPECT_EQ(m.strokeForKeysym(XKB_KEY_ISO_Left_Tab), (KeyStroke{23, {50}}));
  EXPECT_EQ(m.strokeForKeysym(XKB_KEY_Delete), std::nullopt);
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
  FakeKeyboardSeam seam{desktopMapping()};
  CharacterInjector injector{seam};
};

TEST_F(CharacterInjectorTest, TypesThroughTheKeymapWithModifiersHeldAroundTheKey) {
  ASSERT_TRUE(injector.typeCharacter(U'a', 0));
  ASSERT_TRUE(injector.typeCharacter(U'\u00A6', 0));
  EXPECT_EQ(seam.ops, (Ops{"+38", "-38", "flush", "+50", "+92", "+94", "-94", "-92", "-50", "flush"}));
  EXPECT_EQ(injector.heldKeyCount(), 0u);
  EXPECT_EQ(injector.remappedCount(), 0u);
}

TEST_F(CharacterInjectorTest, ControlCharactersTypeTheirOwnKeys) {
  const struct {
    char32_t scalar;
    std::string key;
  } cases[] = {{U'\t', "+23"}, {U'\r', "+36"}, {U'\n', "+36"}, {0x08, "+22"}, {0x1B, "+9"}};
  for (const auto& c : cases) {
    seam.ops.clear();
    ASSERT_TRUE(injector.typeCharacter(c.scalar, 0));
    ASSERT_FALSE(seam.ops.empty());
    EXPECT_EQ(seam.ops.front(), c.key);
  }
  seam.ops.clear();
  EXPECT_FALSE(injector.typeCharacter(0x01, 0));
  EXPECT_FALSE(injector.typeCharacter(0x9B, 0));
  EXPECT_TRUE(seam.ops.empty());
}

TEST_F(CharacterInjectorTest, MissingCharactersGoThroughASpareKeycodeKeptForItsHold) {
  const KeyboardMapping before = seam.keymap;
  ASSERT_TRUE(injector.typeCharacter(U'\U0001F600', 10.0));
  ASSERT_TRUE(injector.typeCharacter(U'\u00E9', 10.1));
  ASSERT_TRUE(injector.typeCharacter(U'\U0001F600', 10.5));  // still mapped: no second change
  EXPECT_EQ(seam.ops, (Ops{"remap 255 101f600", "+255", "-255", "flush", "remap 254 e9", "+254", "-254", "flush",
                           "+255", "-255", "flush"}));
  EXPECT_EQ(injector.remappedCount(), 2u);

  seam.ops.clear();
  EXPECT_EQ(injector.restoreIdle(11.9), 12.1);  // nothing due yet: é was last used at 10.1
  EXPECT_TRUE(seam.ops.empty());
  EXPECT_EQ(injector.restoreIdle(12.1), 12.5);  // é's keycode goes back, the emoji's stays
  EXPECT_EQ(seam.ops, (Ops{"remap 254 0", "flush"}));
  EXPECT_EQ(injector.restoreIdle(12.5), std::nullopt);
  EXPECT_EQ(seam.keymap.keysyms, before.keysyms);
}

TEST_F(CharacterInjectorTest, ReleaseAllRestoresTheKeymapAndWaitsForTheServer) {
  const KeyboardMapping before = seam.keymap;
  ASSERT_TRUE(injector.typeCharacter(U'\u4E2D', 0));
  ASSERT_TRUE(injector.typeKeysym(XKB_KEY_Delete, 0));  // a key this keymap lacks
  ASSERT_NE(seam.keymap.keysyms, before.keysyms);
  seam.ops.clear();
  injector.releaseAll();
  EXPECT_EQ(seam.ops, (Ops{"remap 255 0", "remap 254 0", "sync"}));
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
  ASSERT_TRUE(injector.typeCharacter(U'x', 1.0));  // 12
  ASSERT_TRUE(injector.typeCharacter(U'y', 1.1));  // 11
  ASSERT_TRUE(injector.typeCharacter(U'x', 1.2));  // 12 again, now the more recent
  ASSERT_TRUE(injector.typeCharacter(U'z', 1.3));  // takes 11, used longest ago
  EXPECT_EQ(seam.ops.back(), "flush");
  EXPECT_EQ(seam.keymap.keysymAt(11, 0), static_cast<Keysym>(XKB_KEY_z));
  EXPECT_EQ(seam.keymap.keysymAt(12, 0), static_cast<Keysym>(XKB_KEY_x));
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
  EXPECT_FALSE(injector.typeCharacter(U'x', 0));
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
