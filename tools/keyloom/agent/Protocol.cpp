#include "keyloom/agent/Protocol.h"

#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

struct FaultRow {
  AgentFault fault;
  uint32_t status;
  const char* english;
  const char* chinese;
};

const FaultRow kFaults[] = {
    {AgentFault::kMalformed, 0x80070057u,
     "The message is not a JSON object with a whole-number id, a method name and a list of parameters.",
     "消息不是包含整数编号、方法名和参数列表的 JSON 对象。"},
    {AgentFault::kBinary, 0x80070057u, "Only text messages are accepted.", "只接受文本消息。"},
    {AgentFault::kTooLong, 0x80070018u, "The message is longer than 1 MiB and was discarded.",
     "消息超过 1 MiB，已被丢弃。"},
    {AgentFault::kUnknownName, 0x80020006u, "The control has no method of this name.",
     "控件没有此名称的方法。"},
    {AgentFault::kParamCount, 0x8002000Eu, "The method takes a different number of parameters.",
     "方法的参数数目不对。"},
    {AgentFault::kTypeMismatch, 0x80020005u, "A parameter has a type the method cannot take.",
     "参数类型不匹配。"},
    {AgentFault::kOverflow, 0x8002000Au, "A number is out of the range the method takes.",
     "数值超出方法接受的范围。"},
    {AgentFault::kKeyQuota, 0x80070718u,
     "This page has made too many keys in the last minute; wait and try again.",
     "此页面在一分钟内创建的密钥过多，请稍后再试。"},
};

const FaultRow& RowOf(AgentFault fault) {
  for (const FaultRow& row : kFaults)
    if (row.fault == fault) return row;
  return kFaults[0];
}

CallParam ParamOf(const json& value) {
  CallParam p;
  switch (value.type()) {
    case json::value_t::string: p.kind = CallParam::kString; p.text = value.get<std::string>(); break;
    case json::value_t::boolean: p.kind = CallParam::kBoolean; p.boolean = value.get<bool>(); break;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: {
      // Whole numbers that fit a long pass as one (VT_I4), as a script
      // engine passes them; the others as doubles (VT_R8).
      const bool fits = value.is_number_unsigned()
                            ? value.get<uint64_t>() <= 0x7FFFFFFFu
                            : value.get<int64_t>() >= std::numeric_limits<int32_t>::min() &&
                                  value.get<int64_t>() <= std::numeric_limits<int32_t>::max();
      if (fits) {
        p.kind = CallParam::kInteger;
        p.integer = static_cast<int32_t>(value.get<int64_t>());
      } else {
        p.kind = CallParam::kNumber;
        p.number = value.get<double>();
      }
      break;
    }
    case json::value_t::number_float: p.kind = CallParam::kNumber; p.number = value.get<double>(); break;
    case json::value_t::null: p.kind = CallParam::kNull; break;
    default: p.kind = CallParam::kObject; break;
  }
  return p;
}

}  // namespace

HRESULT ParseCall(std::string_view text, Call* call) {
  *call = Call{};
  const json message = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded() || !message.is_object()) return E_INVALIDARG;
  const auto id = message.find("id");
  if (id == message.end()) return E_INVALIDARG;
  if (id->is_number_integer()) {
    if (id->is_number_unsigned() && id->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
      return E_INVALIDARG;
    call->id = id->get<int64_t>();
  } else {
    return E_INVALIDARG;
  }
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return E_INVALIDARG;
  call->method = method->get<std::string>();
  const auto params = message.find("params");
  if (params == message.end()) return S_OK;
  if (!params->is_array()) return E_INVALIDARG;
  for (const json& value : *params) call->params.push_back(ParamOf(value));
  return S_OK;
}

std::string JsonText(std::string_view text) {
  return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string FormatAnswer(const std::optional<int64_t>& id, HRESULT hr, const std::string& result,
                         const std::optional<std::string>& description) {
  char status[16];
  std::snprintf(status, sizeof status, "0x%08x", static_cast<uint32_t>(hr));
  std::string out = "{\"id\":" + (id ? std::to_string(*id) : std::string("null")) +
                    ",\"hr\":\"" + status + "\",\"result\":" + result;
  if (description) out += ",\"description\":" + JsonText(*description);
  return out + "}";
}

HRESULT FaultStatus(AgentFault fault) { return static_cast<HRESULT>(RowOf(fault).status); }

std::string FaultText(AgentFault fault, bool chinese) {
  const FaultRow& row = RowOf(fault);
  char status[24];
  std::snprintf(status, sizeof status, "\n(0x%08x)", row.status);
  return std::string(chinese ? row.chinese : row.english) + status;
}

std::optional<AgentFault> FaultOfDispatchStatus(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80020006u: return AgentFault::kUnknownName;
    case 0x8002000Eu: return AgentFault::kParamCount;
    case 0x80020005u: return AgentFault::kTypeMismatch;
    case 0x8002000Au: return AgentFault::kOverflow;
    default: return std::nullopt;
  }
}
