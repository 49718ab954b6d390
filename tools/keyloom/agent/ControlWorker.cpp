#include "keyloom/agent/ControlWorker.h"

#include <string_view>
#include <vector>

#include "control/ICryptoAgent.h"
#include "keyloom/agent/ControlThread.h"
#include "encoding/Unicode.h"

namespace {

// Holds the VARIANT arguments of one call, last first as IDispatch takes
// them, and clears them.
struct Arguments {
  std::vector<VARIANT> values;
  ~Arguments() {
    for (VARIANT& v : values) VariantClear(&v);
  }
};

// The parameters as VARIANTs as a script engine passes them; false when one
// is an object or array (a script object is an IDispatch the control cannot
// coerce).
bool ToArguments(const std::vector<CallParam>& params, Arguments* args) {
  args->values.resize(params.size());
  for (VARIANT& v : args->values) VariantInit(&v);
  for (size_t i = 0; i < params.size(); ++i) {
    const CallParam& p = params[i];
    VARIANT& v = args->values[params.size() - 1 - i];
    switch (p.kind) {
      case CallParam::kString: {
        const std::u16string text = Utf8ToUtf16(p.text);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(W(text.c_str()), static_cast<UINT>(text.size()));
        if (v.bstrVal == nullptr) v.vt = VT_EMPTY;
        break;
      }
      case CallParam::kInteger: v.vt = VT_I4; v.lVal = p.integer; break;
      case CallParam::kNumber: v.vt = VT_R8; v.dblVal = p.number; break;
      case CallParam::kBoolean: v.vt = VT_BOOL; v.boolVal = p.boolean ? VARIANT_TRUE : VARIANT_FALSE; break;
      case CallParam::kNull: v.vt = VT_NULL; break;
      case CallParam::kObject: return false;
    }
  }
  return true;
}

// The control's GetLastErrorDesc text, read through IDispatch as a page
// reads it.
std::string LastErrorDesc(IDispatch* control) {
  std::u16string name = u"GetLastErrorDesc";
  LPOLESTR names[1] = {W(name.data())};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return "";
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT text;
  VariantInit(&text);
  std::string out;
  if (control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &text, nullptr,
                      nullptr) == S_OK &&
      text.vt == VT_BSTR)
    out = Utf16ToUtf8(std::u16string_view(U16(text.bstrVal), SysStringLen(text.bstrVal)));
  VariantClear(&text);
  return out;
}

std::string FaultAnswer(const std::optional<int64_t>& id, AgentFault fault, bool chinese) {
  return FormatAnswer(id, FaultStatus(fault), "null", FaultText(fault, chinese));
}

std::string ResultJson(const VARIANT& result) {
  if (result.vt == VT_BOOL) return result.boolVal ? "true" : "false";
  if (result.vt == VT_BSTR)
    return JsonText(Utf16ToUtf8(std::u16string_view(U16(result.bstrVal), SysStringLen(result.bstrVal))));
  return "null";
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool MakesKey(std::string_view method) {
  for (const char* name : {"ZENQ_PKCS10CertRequisition", "ZENQ_PKCS10CertRequisitionwithMD5", "ZENQ_GetTempPublickey"})
    if (SameName(method, name)) return true;
  return false;
}

bool TakeKey(KeyQuota& quota, std::chrono::steady_clock::time_point now) {
  if (quota.perMinute == 0) return true;
  while (!quota.made.empty() && now - quota.made.front() >= std::chrono::minutes(1)) quota.made.pop_front();
  if (quota.made.size() >= quota.perMinute) return false;
  quota.made.push_back(now);
  return true;
}

std::string ServeItem(IDispatch* control, const WorkItem& item, bool chinese, KeyQuota* quota) {
  if (item.fault) return FaultAnswer(std::nullopt, *item.fault, chinese);
  Call call;
  if (FAILED(ParseCall(item.text, &call)) || control == nullptr)
    return FaultAnswer(call.id, AgentFault::kMalformed, chinese);

  std::u16string name = Utf8ToUtf16(call.method);
  LPOLESTR names[1] = {W(name.data())};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
    return FaultAnswer(call.id, AgentFault::kUnknownName, chinese);
  Arguments args;
  if (!ToArguments(call.params, &args)) return FaultAnswer(call.id, AgentFault::kTypeMismatch, chinese);
  if (quota && MakesKey(call.method) && !TakeKey(*quota, std::chrono::steady_clock::now()))
    return FaultAnswer(call.id, AgentFault::kKeyQuota, chinese);

  DISPPARAMS params{args.values.data(), nullptr, static_cast<UINT>(args.values.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  UINT argErr = 0;
  HRESULT hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               &result, &excep, &argErr);
  std::string answer;
  if (hr == DISP_E_EXCEPTION) {
    // The control's own failure: its status and its GetLastErrorDesc text.
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    hr = excep.scode != 0 ? excep.scode : E_FAIL;
    answer = FormatAnswer(call.id, hr, "null", LastErrorDesc(control));
  } else if (FAILED(hr)) {
    const std::optional<AgentFault> fault = FaultOfDispatchStatus(hr);
    answer = fault ? FaultAnswer(call.id, *fault, chinese)
                   : FormatAnswer(call.id, hr, "null", LastErrorDesc(control));
  } else {
    answer = FormatAnswer(call.id, hr, ResultJson(result), std::nullopt);
  }
  VariantClear(&result);
  return answer;
}

std::shared_ptr<ControlWorker> StartControlWorker(const AgentModule& module, bool chinese,
                                                  unsigned keysPerMinute, AnswerSink answer,
                                                  FinishedSink finished) {
  auto worker = std::make_shared<ControlWorker>();
  // The thread refers to its state without owning it: the starter keeps
  // the worker until it has joined the thread.
  ControlWorker* const self = worker.get();
  worker->thread = std::thread([self, module, chinese, keysPerMinute, answer = std::move(answer),
                                finished = std::move(finished)] {
    KeyQuota quota;
    quota.perMinute = keysPerMinute;
    IDispatch* control = EnterControlThread(module, chinese);
    while (control != nullptr) {
      std::unique_lock lock(self->mutex);
      self->wake.wait(lock, [&] { return self->stopping || !self->queue.empty(); });
      if (self->stopping) break;
      WorkItem item = std::move(self->queue.front());
      self->queue.pop_front();
      lock.unlock();
      answer(ServeItem(control, item, chinese, &quota));
    }
    const bool created = control != nullptr;
    if (control) control->Release();
    LeaveControlThread(module);
    finished(self, created);
  });
  return worker;
}

void EnqueueWork(ControlWorker& worker, WorkItem item) {
  {
    std::lock_guard lock(worker.mutex);
    if (worker.stopping) return;
    worker.queue.push_back(std::move(item));
  }
  worker.wake.notify_one();
}

void StopControlWorker(ControlWorker& worker) {
  {
    std::lock_guard lock(worker.mutex);
    worker.stopping = true;
    worker.queue.clear();
  }
  worker.wake.notify_one();
}
