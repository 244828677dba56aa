#include "report/json_value.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace packprobe::report {
namespace {

using Json = nlohmann::json;

// Builds JsonValues from the parser's events, one open container per level.
class Builder : public nlohmann::json_sax<Json> {
 public:
  Builder(std::size_t maxDepth, const JsonListSink* sink, std::string& error)
      : maxDepth_(maxDepth), sink_(sink), error_(error) {}

  bool null() override { return Put(JsonValue{}); }
  bool boolean(bool value) override {
    JsonValue v;
    v.kind = JsonValue::Kind::kBool;
    v.boolean = value;
    return Put(std::move(v));
  }
  bool number_integer(number_integer_t value) override {
    JsonValue v;
    v.kind = JsonValue::Kind::kInteger;
    v.integer = value;
    v.number = static_cast<double>(value);
    return Put(std::move(v));
  }
  bool number_unsigned(number_unsigned_t value) override {
    JsonValue v;
    v.kind = JsonValue::Kind::kUnsigned;
    v.unsignedValue = value;
    v.integer = value <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(value) : INT64_MAX;
    v.number = static_cast<double>(value);
    return Put(std::move(v));
  }
  bool number_float(number_float_t value, const string_t&) override {
    JsonValue v;
    v.kind = JsonValue::Kind::kFloat;
    v.number = value;
    return Put(std::move(v));
  }
  bool string(string_t& value) override {
    JsonValue v;
    v.kind = JsonValue::Kind::kString;
    v.text = std::move(value);
    return Put(std::move(v));
  }
  bool binary(binary_t&) override { return Fail("binary data"); }
  bool start_object(std::size_t) override { return Open(JsonValue::Kind::kObject); }
  bool key(string_t& name) override {
    JsonValue& object = stack_.back().value;
    const bool repeated = std::find(object.keys.begin(), object.keys.end(), name) != object.keys.end();
    if (repeated) return Fail("the key \"" + name + "\" appears twice in one object");
    stack_.back().key = std::move(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(JsonValue::Kind::kArray); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
    if (error_.empty()) error_ = "not JSON (at byte " + std::to_string(position) + ")";
    return false;
  }

  std::optional<JsonValue> Take() { return std::move(result_); }

 private:
  struct Open_ {
    JsonValue value;
    std::string key;  // of the member being read, in an object
    bool streamed = false;  // a list whose elements go to the sink
  };

  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what;
    return false;
  }

  bool Open(JsonValue::Kind kind) {
    if (stack_.size() >= maxDepth_) {
      return Fail("nested deeper than " + std::to_string(maxDepth_) + " levels");
    }
    Open_ open;
    open.value.kind = kind;
    open.streamed = sink_ != nullptr && kind == JsonValue::Kind::kArray && stack_.size() == 1 &&
                    stack_.back().value.kind == JsonValue::Kind::kObject && stack_.back().key == sink_->key;
    stack_.push_back(std::move(open));
    return true;
  }

  bool Close() {
    Open_ done = std::move(stack_.back());
    stack_.pop_back();
    return Put(std::move(done.value));
  }

  bool Put(JsonValue value) {
    if (stack_.empty()) {
      result_ = std::move(value);
      return true;
    }
    Open_& parent = stack_.back();
    if (parent.streamed) {
      std::string why;
      if (!sink_->take(std::move(value), why)) return Fail(why);
      return true;
    }
    if (parent.value.kind == JsonValue::Kind::kObject) parent.value.keys.push_back(std::move(parent.key));
    parent.value.items.push_back(std::move(value));
    return true;
  }

  std::size_t maxDepth_;
  const JsonListSink* sink_;
  std::string& error_;
  std::vector<Open_> stack_;
  std::optional<JsonValue> result_;
};

template <typename Input>
std::optional<JsonValue> Parse(Input&& input, std::string& error, std::size_t maxDepth,
                               const JsonListSink* sink) {
  error.clear();
  Builder builder(maxDepth, sink, error);
  if (!Json::sax_parse(std::forward<Input>(input), &builder)) {
    if (error.empty()) error = "not JSON";
    return std::nullopt;
  }
  return builder.Take();
}

bool IsString(const JsonValue& v) { return v.kind == JsonValue::Kind::kString; }
bool IsBool(const JsonValue& v) { return v.kind == JsonValue::Kind::kBool; }
bool IsWhole(const JsonValue& v) { return v.IsWholeNumber(); }
bool IsUnsigned(const JsonValue& v) { return v.kind == JsonValue::Kind::kUnsigned; }
bool IsNumber(const JsonValue& v) { return v.IsNumber(); }
bool IsArray(const JsonValue& v) { return v.kind == JsonValue::Kind::kArray; }
bool IsObject(const JsonValue& v) { return v.kind == JsonValue::Kind::kObject; }

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (kind != Kind::kObject) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error, std::size_t maxDepth,
                                   const JsonListSink* sink) {
  return Parse(text, error, maxDepth, sink);
}

std::optional<JsonValue> ParseJson(std::FILE* stream, std::string& error, std::size_t maxDepth,
                                   const JsonListSink* sink) {
  return Parse(stream, error, maxDepth, sink);
}

JsonFields::JsonFields(const JsonValue& object, std::string& error, std::string where)
    : object_(object), error_(error), where_(std::move(where)) {}

void JsonFields::Fail(const std::string& what) {
  if (error_.empty()) error_ = where_ + ": " + what;
}

const JsonValue* JsonFields::Get(std::string_view key, bool nullable, bool (*is)(const JsonValue&),
                                 const char* what) {
  const JsonValue* value = object_.Find(key);
  if (value == nullptr || (nullable && value->kind == JsonValue::Kind::kNull)) {
    if (value == nullptr) Fail("no \"" + std::string(key) + "\"");
    return nullptr;
  }
  if (!is(*value)) {
    Fail("\"" + std::string(key) + "\" is not " + what);
    return nullptr;
  }
  return value;
}

std::string JsonFields::String(std::string_view key) {
  const JsonValue* v = Get(key, false, IsString, "a string");
  return v ? v->text : std::string();
}

std::optional<std::string> JsonFields::OptionalString(std::string_view key) {
  const JsonValue* v = Get(key, true, IsString, "a string or null");
  return v ? std::optional(v->text) : std::nullopt;
}

bool JsonFields::Bool(std::string_view key) {
  const JsonValue* v = Get(key, false, IsBool, "true or false");
  return v && v->boolean;
}

std::optional<bool> JsonFields::OptionalBool(std::string_view key) {
  const JsonValue* v = Get(key, true, IsBool, "true, false or null");
  return v ? std::optional(v->boolean) : std::nullopt;
}

std::int64_t JsonFields::Integer(std::string_view key) {
  const JsonValue* v = Get(key, false, IsWhole, "a whole number");
  return v ? v->integer : 0;
}

std::optional<std::int32_t> JsonFields::OptionalInt32(std::string_view key) {
  const JsonValue* v = Get(key, true, IsWhole, "a whole number or null");
  if (v == nullptr) return std::nullopt;
  if (v->integer < INT32_MIN || v->integer > INT32_MAX) {
    Fail("\"" + std::string(key) + "\" is out of range");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(v->integer);
}

std::int32_t JsonFields::Int32(std::string_view key) {
  if (object_.Find(key) == nullptr || object_.Find(key)->kind == JsonValue::Kind::kNull) {
    Fail("\"" + std::string(key) + "\" is not a whole number");
    return 0;
  }
  return OptionalInt32(key).value_or(0);
}

std::optional<std::uint64_t> JsonFields::OptionalUnsigned(std::string_view key) {
  const JsonValue* v = Get(key, true, IsUnsigned, "a whole number from 0 on, or null");
  return v ? std::optional(v->unsignedValue) : std::nullopt;
}

std::uint64_t JsonFields::Unsigned(std::string_view key) {
  const JsonValue* v = Get(key, false, IsUnsigned, "a whole number from 0 on");
  return v ? v->unsignedValue : 0;
}

double JsonFields::Number(std::string_view key) {
  const JsonValue* v = Get(key, false, IsNumber, "a number");
  return v ? v->number : 0;
}

std::vector<std::string> JsonFields::Strings(std::string_view key) {
  std::vector<std::string> values;
  const JsonValue* list = Get(key, false, IsArray, "a list");
  if (list == nullptr) return values;
  for (const JsonValue& element : list->items) {
    if (!IsString(element)) {
      Fail("\"" + std::string(key) + "\" holds what is not a string");
      break;
    }
    values.push_back(element.text);
  }
  return values;
}

const JsonValue* JsonFields::Object(std::string_view key, bool nullable) {
  return Get(key, nullable, IsObject, nullable ? "an object or null" : "an object");
}

const JsonValue* JsonFields::List(std::string_view key) { return Get(key, false, IsArray, "a list"); }

}  // namespace packprobe::report
