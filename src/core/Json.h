#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// JSON coding with the wire's rules: compact output with the solidus escaped, timestamps
// as seconds since 2001, and strict reading of records (required keys present with the
// right JSON type, null or absent optionals accepted, unknown keys ignored).
namespace orvo::json {

// What the host writes: objects keep their keys in insertion order, so records encode in
// field order.
using Json = nlohmann::ordered_json;
// What the host reads from others: objects are sorted maps, so a line with many keys costs
// O(n log n) to parse and every key lookup is logarithmic (an insertion-ordered object
// checks each new key against all earlier ones).
using Value = nlohmann::json;

// Compact text: no spaces or line breaks, "/" written as "\/", UTF-8 kept as it is
// (an invalid sequence becomes U+FFFD rather than failing the whole message).
std::string encode(const Json& value);

// Parses one JSON text received from elsewhere; surrounding white space is allowed. On
// failure (malformed, or nested over 256 levels) returns nothing and, when asked, why.
std::optional<Value> parse(std::string_view text, std::string* error = nullptr);
// The same for a document the host wrote itself and writes back: key order is kept.
std::optional<Json> parseDocument(std::string_view text, std::string* error = nullptr);

// A timestamp as a JSON number of seconds since 2001-01-01 00:00:00 UTC; an integral
// value is written without a fraction ("60", not "60.0").
Json timestamp(double secondsSince2001);

// Reads the keys of one JSON object. The first fault is remembered and later reads
// return defaults, so a record decoder reads every field and checks ok() once.
class ObjectReader {
 public:
  explicit ObjectReader(const Value& value);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // ok(), and the fault copied to `error` when there is one: the last line of a decoder.
  bool finish(std::string& error) const {
    if (!ok()) error = error_;
    return ok();
  }

  std::string requireString(const char* key);
  std::optional<std::string> optionalString(const char* key);
  bool requireBool(const char* key);
  double requireNumber(const char* key);
  std::optional<double> optionalNumber(const char* key);
  std::int64_t requireInt64(const char* key);
  // Window ids: integral JSON numbers from 0 to 4294967295.
  std::uint32_t requireWindowId(const char* key);
  std::optional<std::uint32_t> optionalWindowId(const char* key);
  // The value under `key`, or nothing when absent or null.
  const Value* optionalValue(const char* key);
  const Value* requireValue(const char* key);

  void fail(std::string error);

 private:
  const Value& value_;
  std::string error_;
};

// A window id: an integral JSON number from 0 to 4294967295.
std::optional<std::uint32_t> toWindowId(const Value& value);

}  // namespace orvo::json
