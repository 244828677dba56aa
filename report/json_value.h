// JSON read as plain values, within bounds: nesting depth limited while it
// is read (a hostile file cannot exhaust the stack), duplicate keys
// refused (a reader must not pick one of two answers), and nothing but
// ordinary containers to destroy (no allocation while unwinding). Large
// documents stream: the elements of one top-level list can be handed over
// one at a time instead of being kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace packprobe::report {

struct JsonValue {
  enum class Kind { kNull, kBool, kInteger, kUnsigned, kFloat, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  std::int64_t integer = 0;     // kInteger: a negative whole number
  std::uint64_t unsignedValue = 0;  // kUnsigned: a whole number from 0 on
  double number = 0;            // kFloat, and every number as a double
  std::string text;             // kString
  std::vector<JsonValue> items;  // kArray; kObject: the members' values
  std::vector<std::string> keys;  // kObject: the members' keys, in order

  // The member of an object; null when it has none (or is no object).
  const JsonValue* Find(std::string_view key) const;
  bool IsNumber() const { return kind == Kind::kInteger || kind == Kind::kUnsigned || kind == Kind::kFloat; }
  bool IsWholeNumber() const { return kind == Kind::kInteger || kind == Kind::kUnsigned; }
};

// The deepest nesting any reader accepts.
inline constexpr std::size_t kMaxJsonDepth = 32;

// Hands over the elements of the top-level object's list `key` as each is
// read; they are not kept. False from the callback stops the parse (its
// error is the callback's).
struct JsonListSink {
  std::string key;
  std::function<bool(JsonValue&& element, std::string& error)> take;
};

// Parses one JSON text. Nothing, with why in error, when it is not JSON,
// nests deeper than maxDepth, or repeats a key in one object.
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error,
                                   std::size_t maxDepth = kMaxJsonDepth, const JsonListSink* sink = nullptr);

// The same for a JSON text read from a stream to its end.
std::optional<JsonValue> ParseJson(std::FILE* stream, std::string& error,
                                   std::size_t maxDepth = kMaxJsonDepth, const JsonListSink* sink = nullptr);

// Typed access to an object's members: a member missing or of the wrong
// type is an error naming it (the first one is kept), never an exception.
class JsonFields {
 public:
  JsonFields(const JsonValue& object, std::string& error, std::string where);

  std::string String(std::string_view key);
  std::optional<std::string> OptionalString(std::string_view key);  // a string or null
  bool Bool(std::string_view key);
  std::optional<bool> OptionalBool(std::string_view key);
  std::int64_t Integer(std::string_view key);
  std::optional<std::int32_t> OptionalInt32(std::string_view key);
  std::int32_t Int32(std::string_view key);
  std::optional<std::uint64_t> OptionalUnsigned(std::string_view key);
  std::uint64_t Unsigned(std::string_view key);
  double Number(std::string_view key);
  std::vector<std::string> Strings(std::string_view key);  // a list of strings
  // A member that is an object (or null, when nullable: then none).
  const JsonValue* Object(std::string_view key, bool nullable);
  const JsonValue* List(std::string_view key);

  bool failed() const { return !error_.empty(); }
  void Fail(const std::string& what);
  const std::string& where() const { return where_; }

 private:
  const JsonValue* Get(std::string_view key, bool nullable, bool (*is)(const JsonValue&), const char* what);
  const JsonValue& object_;
  std::string& error_;
  std::string where_;
};

}  // namespace packprobe::report
