// Creates a control object directly (as the class factory does) for tests
// that call its methods through the vtable.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control/CryptoAgent.h"
#include "support/TestSupport.h"

// Owns one reference to a new control.
class AgentRef {
 public:
  AgentRef() {
    void* p = nullptr;
    EXPECT_EQ(CCryptoAgent::CreateInstance(nullptr, IID_ICryptoAgent, &p), S_OK);
    agent_ = static_cast<ICryptoAgent*>(p);
  }
  ~AgentRef() {
    if (agent_) agent_->Release();
  }
  AgentRef(const AgentRef&) = delete;
  AgentRef& operator=(const AgentRef&) = delete;
  ICryptoAgent* operator->() const { return agent_; }
  ICryptoAgent* get() const { return agent_; }
  CCryptoAgent* object() const { return static_cast<CCryptoAgent*>(agent_); }

 private:
  ICryptoAgent* agent_ = nullptr;
};

// A BSTR made from UTF-16 text (null stays null), freed at scope end.
struct Bstr : BstrHolder {
  explicit Bstr(const char16_t* text) : BstrHolder(text ? SysAllocString(text) : nullptr) {}
  operator BSTR() const { return value; }
};

// Selects the key algorithm, then the provider and key length; whether both
// were taken.
inline bool Select(ICryptoAgent* agent, const char16_t* algorithm, const char16_t* provider, LONG bits) {
  VARIANT_BOOL ok;
  Bstr a(algorithm), p(provider);
  return agent->ZENQ_SetKeyAlgorithm(a, &ok) == S_OK && agent->ZENQ_SetCSPInfo(bits, p, &ok) == S_OK;
}

// The control's current container name (ZENQ_GetContainer) as UTF-8.
inline std::string ContainerOf(ICryptoAgent* agent) {
  BstrHolder name;
  agent->ZENQ_GetContainer(name.out());
  return Narrow(name.value);
}

// The control's GetLastErrorDesc text as UTF-8.
inline std::string LastErrorText(ICryptoAgent* agent) {
  BstrHolder text;
  EXPECT_EQ(agent->GetLastErrorDesc(text.out()), S_OK);
  return Narrow(text.value);
}
