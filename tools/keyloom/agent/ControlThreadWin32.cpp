#include "keyloom/agent/ControlThread.h"

#include <objbase.h>

#include "control/ICryptoAgent.h"

IDispatch* EnterControlThread(const AgentModule&, bool chinese) {
  // The control is registered with the apartment threading model: made on
  // this apartment's thread it is called directly, as a page calls it.
  SetThreadUILanguage(chinese ? MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)
                              : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return nullptr;
  IDispatch* control = nullptr;
  if (FAILED(CoCreateInstance(CLSID_CryptoAgent, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&control))))
    control = nullptr;
  return control;
}

void LeaveControlThread(const AgentModule&) {
  CoUninitialize();
  SetThreadUILanguage(0);
}
