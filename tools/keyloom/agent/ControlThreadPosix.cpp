#include "keyloom/agent/ControlThread.h"

#include "control/ICryptoAgent.h"

IDispatch* EnterControlThread(const AgentModule& module, bool chinese) {
  if (module.SetThreadUILanguage) module.SetThreadUILanguage(chinese ? 2052 : 1033);
  IClassFactory* factory = nullptr;
  IDispatch* control = nullptr;
  if (SUCCEEDED(module.module->DllGetClassObject(CLSID_CryptoAgent, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory))) &&
      factory != nullptr)
    factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
  if (factory) factory->Release();
  return control;
}

void LeaveControlThread(const AgentModule& module) {
  if (module.SetThreadUILanguage) module.SetThreadUILanguage(0);
}
