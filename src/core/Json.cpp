#include "core/Json.h"

#include <cmath>
#include <limits>

namespace orvo::json {

std::string encode(const Json& value) {
  const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  // A solidus can only occur inside a string, so escaping every one of them is exact.
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

namespace {

// Texts that nest arrays and objects deeper than this are refused: copying, comparing and
// writing a JSON tree recurse once per level, and a file or line nested a hundred thousand
// levels deep would overflow the stack. Nothing the host reads or writes comes close.
constexpr std::size_t maxNestingDepth = 256;

// Whether arrays and objects nest deeper than maxNestingDepth; brackets in strings do not
// count. Malformed text is left to the parser.
bool nestsTooDeep(std::string_view text) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxNestingDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

template <class Document>
std::optional<Document> parseAs(std::string_view text, std::string* error) {
  if (nestsTooDeep(text)) {
    if (error) *error = "arrays and objects nested deeper than " + std::to_string(maxNestingDepth) + " levels";
    return std::nullopt;
  }
  try {
    return Document::parse(text.begin(), text.end());
  } catch (const typename Document::exception& fault) {
    if (error) *error = fault.what();
    return std::nullopt;
  }
}
}  // namespace

std::optional<Value> parse(std::string_view text, std::string* error) { return parseAs<Value>(text, error); }

std::optional<Json> parseDocument(std::string_view text, std::string* error) { return parseAs<Json>(text, error); }

Json timestamp(double secondsSince2001) {
  if (std::isfinite(secondsSince2001) && std::trunc(secondsSince2001) == secondsSince2001 &&
      std::fabs(secondsSince2001) < 9.0e15) {
    return static_cast<std::int64_t>(secondsSince2001);
  }
  return secondsSince2001;
}

std::optional<std::uint32_t> toWindowId(const Value& value) {
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v <= kMax) return static_cast<std::uint32_t>(v);
  } else if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v >= 0 && v <= static_cast<std::int64_t>(kMax)) return static_cast<std::uint32_t>(v);
  } else if (value.is_number_float()) {
    const auto v = value.get<double>();
    if (std::trunc(v) == v && v >= 0 && v <= kMax) return static_cast<std::uint32_t>(v);
  }
  return std::nullopt;
}

namespace {

std::optional<std::int64_t> toInt64(const Value& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(v);
    }
  } else if (value.is_number_float()) {
    const auto v = value.get<double>();
    // 2^63 itself is out of range; every smaller integral double fits.
    if (std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0) {
      return static_cast<std::int64_t>(v);
    }
  }
  return std::nullopt;
}

}  // namespace

ObjectReader::ObjectReader(const Value& value) : value_(value) {
  if (!value_.is_object()) fail("typeMismatch: expected a JSON object");
}

void ObjectReader::fail(std::string error) {
  if (error_.empty()) error_ = std::move(error);
}

const Value* ObjectReader::optionalValue(const char* key) {
  if (!ok()) return nullptr;
  const auto found = value_.find(key);
  if (found == value_.end() || found->is_null()) return nullptr;
  return &*found;
}

const Value* ObjectReader::requireValue(const char* key) {
  if (!ok()) return nullptr;
  const auto found = value_.find(key);
  if (found == value_.end()) {
    fail(std::string("keyNotFound: \"") + key + "\"");
    return nullptr;
  }
  if (found->is_null()) {
    fail(std::string("valueNotFound: \"") + key + "\" is null");
    return nullptr;
  }
  return &*found;
}

namespace {
std::string mismatch(const char* key, const char* expected) {
  return std::string("typeMismatch: expected ") + expected + " at \"" + key + "\"";
}
}  // namespace

std::string ObjectReader::requireString(const char* key) {
  const Value* v = requireValue(key);
  if (!v) return {};
  if (!v->is_string()) {
    fail(mismatch(key, "a string"));
    return {};
  }
  return v->get<std::string>();
}

std::optional<std::string> ObjectReader::optionalString(const char* key) {
  const Value* v = optionalValue(key);
  if (!v) return std::nullopt;
  if (!v->is_string()) {
    fail(mismatch(key, "a string"));
    return std::nullopt;
  }
  return v->get<std::string>();
}

bool ObjectReader::requireBool(const char* key) {
  const Value* v = requireValue(key);
  if (!v) return false;
  if (!v->is_boolean()) {
    fail(mismatch(key, "a boolean"));
    return false;
  }
  return v->get<bool>();
}

double ObjectReader::requireNumber(const char* key) {
  const Value* v = requireValue(key);
  if (!v) return 0;
  if (!v->is_number()) {
    fail(mismatch(key, "a number"));
    return 0;
  }
  return v->get<double>();
}

std::optional<double> ObjectReader::optionalNumber(const char* key) {
  const Value* v = optionalValue(key);
  if (!v) return std::nullopt;
  if (!v->is_number()) {
    fail(mismatch(key, "a number"));
    return std::nullopt;
  }
  return v->get<double>();
}

std::int64_t ObjectReader::requireInt64(const char* key) {
  const Value* v = requireValue(key);
  if (!v) return 0;
  const auto value = toInt64(*v);
  if (!value) {
    fail(mismatch(key, "a signed 64-bit integer"));
    return 0;
  }
  return *value;
}

std::uint32_t ObjectReader::requireWindowId(const char* key) {
  const Value* v = requireValue(key);
  if (!v) return 0;
  const auto value = toWindowId(*v);
  if (!value) {
    fail(mismatch(key, "an unsigned 32-bit integer"));
    return 0;
  }
  return *value;
}

std::optional<std::uint32_t> ObjectReader::optionalWindowId(const char* key) {
  const Value* v = optionalValue(key);
  if (!v) return std::nullopt;
  const auto value = toWindowId(*v);
  if (!value) fail(mismatch(key, "an unsigned 32-bit integer"));
  return value;
}

}  // namespace orvo::json
