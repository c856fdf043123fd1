#include "platform/automation/automation_json.h"

#include <boost/json.hpp>
#include <cmath>
#include <limits>

namespace mailvane {

namespace json = boost::json;

namespace {

json::value ToJson(const Variant& value) {
  struct Visitor {
    json::value operator()(std::monostate) const { return nullptr; }
    json::value operator()(bool b) const { return b; }
    json::value operator()(int64_t n) const { return n; }
    json::value operator()(double d) const {
      if (!std::isfinite(d)) return nullptr;
      return d;
    }
    json::value operator()(const std::string& s) const { return json::string(s); }
  };
  return std::visit(Visitor{}, value);
}

std::optional<Variant> FromJson(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return Variant{};
    case json::kind::bool_:
      return Variant{value.get_bool()};
    case json::kind::int64:
      return Variant{value.get_int64()};
    case json::kind::uint64:
      if (value.get_uint64() <= uint64_t{std::numeric_limits<int64_t>::max()}) {
        return Variant{static_cast<int64_t>(value.get_uint64())};
      }
      return Variant{static_cast<double>(value.get_uint64())};
    case json::kind::double_:
      return Variant{value.get_double()};
    case json::kind::string:
      return Variant{std::string(value.get_string())};
    default:
      return std::nullopt;  // arrays and objects are no values of ours
  }
}

std::optional<json::object> ParseObject(std::string_view line) {
  boost::system::error_code error;
  json::value value = json::parse(line, error);
  if (error || !value.is_object()) return std::nullopt;
  return std::move(value.get_object());
}

std::optional<int64_t> IdOf(const json::object& object) {
  const json::value* id = object.if_contains("id");
  if (id == nullptr) return std::nullopt;
  if (id->is_int64()) return id->get_int64();
  if (id->is_uint64() && id->get_uint64() <= uint64_t{std::numeric_limits<int64_t>::max()}) {
    return static_cast<int64_t>(id->get_uint64());
  }
  return std::nullopt;
}

std::string Line(const json::value& value) { return json::serialize(value) + "\n"; }

json::array ArgsToJson(const std::vector<Variant>& args) {
  json::array array;
  for (const Variant& arg : args) array.push_back(ToJson(arg));
  return array;
}

// Missing args are none; anything but an array of values is malformed.
bool ArgsFromJson(const json::value* args, std::vector<Variant>* out) {
  if (args == nullptr) return true;
  if (!args->is_array()) return false;
  for (const json::value& arg : args->get_array()) {
    std::optional<Variant> value = FromJson(arg);
    if (!value) return false;
    out->push_back(std::move(*value));
  }
  return true;
}

// A one-way message whose name is under key; a line that also carries an id is no such message.
std::optional<AutomationMessage> DecodeMessage(std::string_view line, const char* key) {
  std::optional<json::object> object = ParseObject(line);
  if (!object || object->contains("id")) return std::nullopt;
  const json::value* name = object->if_contains(key);
  if (name == nullptr || !name->is_string()) return std::nullopt;
  AutomationMessage message;
  message.name = std::string(name->get_string());
  if (!ArgsFromJson(object->if_contains("args"), &message.args)) return std::nullopt;
  return message;
}

}  // namespace

std::string EncodeReadyLine() { return Line(json::object{{"ready", true}}); }

std::string EncodeRequestLine(const AutomationRequest& request) {
  return Line(json::object{
      {"id", request.id}, {"call", request.member}, {"args", ArgsToJson(request.args)}});
}

std::string EncodePostLine(const AutomationMessage& post) {
  return Line(json::object{{"post", post.name}, {"args", ArgsToJson(post.args)}});
}

std::string EncodeEventLine(const AutomationMessage& event) {
  return Line(json::object{{"event", event.name}, {"args", ArgsToJson(event.args)}});
}

std::optional<AutomationMessage> DecodePostLine(std::string_view line) {
  return DecodeMessage(line, "post");
}

std::optional<AutomationMessage> DecodeEventLine(std::string_view line) {
  return DecodeMessage(line, "event");
}

std::string EncodeAnswerLine(int64_t id, const CallResult& result) {
  if (result.error_number == 0)
    return Line(json::object{{"id", id}, {"value", ToJson(result.value)}});
  return Line(json::object{{"id", id},
                           {"error", json::object{{"number", result.error_number},
                                                  {"description", result.description},
                                                  {"source", result.source}}}});
}

bool IsReadyLine(std::string_view line) {
  std::optional<json::object> object = ParseObject(line);
  if (!object) return false;
  const json::value* ready = object->if_contains("ready");
  return ready != nullptr && ready->is_bool() && ready->get_bool();
}

std::optional<AutomationRequest> DecodeRequestLine(std::string_view line) {
  std::optional<json::object> object = ParseObject(line);
  if (!object) return std::nullopt;
  AutomationRequest request;
  std::optional<int64_t> id = IdOf(*object);
  const json::value* call = object->if_contains("call");
  const json::value* args = object->if_contains("args");
  if (!id || call == nullptr || !call->is_string()) return std::nullopt;
  request.id = *id;
  request.member = std::string(call->get_string());
  if (!ArgsFromJson(args, &request.args)) return std::nullopt;
  return request;
}

std::optional<AutomationAnswer> DecodeAnswerLine(std::string_view line) {
  std::optional<json::object> object = ParseObject(line);
  if (!object) return std::nullopt;
  std::optional<int64_t> id = IdOf(*object);
  if (!id) return std::nullopt;
  AutomationAnswer answer;
  answer.id = *id;
  const json::value* value = object->if_contains("value");
  const json::value* error = object->if_contains("error");
  if ((value == nullptr) == (error == nullptr)) return std::nullopt;  // exactly one of them
  if (value != nullptr) {
    std::optional<Variant> decoded = FromJson(*value);
    if (!decoded) return std::nullopt;
    answer.result.value = std::move(*decoded);
    return answer;
  }
  if (!error->is_object()) return std::nullopt;
  const json::object& fields = error->get_object();
  const json::value* number = fields.if_contains("number");
  const json::value* description = fields.if_contains("description");
  const json::value* source = fields.if_contains("source");
  if (number == nullptr || !number->is_int64() || number->get_int64() == 0 ||
      number->get_int64() < std::numeric_limits<int>::min() ||
      number->get_int64() > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  answer.result.error_number = static_cast<int>(number->get_int64());
  if (description != nullptr && description->is_string()) {
    answer.result.description = std::string(description->get_string());
  }
  if (source != nullptr && source->is_string()) {
    answer.result.source = std::string(source->get_string());
  }
  return answer;
}

bool LineBuffer::Next(std::string* line) {
  size_t end = buffer_.find('\n');
  if (end == std::string::npos || end > max_) return false;
  line->assign(buffer_, 0, end);
  buffer_.erase(0, end + 1);
  return true;
}

bool LineBuffer::Overflowed() const {
  size_t end = buffer_.find('\n');
  return end == std::string::npos ? buffer_.size() > max_ : end > max_;
}

}  // namespace mailvane
