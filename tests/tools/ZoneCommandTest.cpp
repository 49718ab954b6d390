// `keyloom zone add|remove|list`: the user's mappings and the machine policy's
// list, and the policy deciding before the user's mapping, read afresh by a
// running process (the agent admits origins by it without a restart).
#include <gtest/gtest.h>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

using ZoneCommandTest = SoftHomesTest;

int Zone(const std::string& args, std::string* out) {
  return RunCommand(std::string(KEYLOOM_CLI_PATH " zone ") + args + " 2>/dev/null", out);
}

DWORD ZoneOf(const char16_t* url) {
  void* security = nullptr;
  Plat().CoInitialize(nullptr);
  EXPECT_EQ(S_OK, Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IInternetSecurityManager, &security));
  DWORD zone = 0xFFFF;
  EXPECT_EQ(S_OK, Plat().MapUrlToZone(security, url, &zone, 0));
  Plat().ComRelease(security);
  Plat().CoUninitialize();
  return zone;
}

TEST_F(ZoneCommandTest, AddRemoveAndListWithTheirSources) {
  const struct { const char* args; int exit; } kSteps[] = {
      {"add https://*.bank.example", 0},
      {"add HTTPS://*.Bank.Example", 0},  // there already: left alone
      {"add http://127.0.0.1", 0},        // plain http too, as registration maps it
      {"add https://enroll.bank.example --machine", 0}, {"add https://*.other.example --machine", 0},
      {"remove https://*.other.example --machine", 0},
      {"remove https://nowhere.example", 1}, {"add https://bank.example/path", 1}, {"add bank.example", 1},
      {"add https://a*b.example", 1},  // the zone manager refuses it
      {"add https://bank.example --user", 2}, {"move https://bank.example", 2},
  };
  std::string out;
  for (const auto& step : kSteps) EXPECT_EQ(step.exit, Zone(step.args, &out)) << step.args;
  EXPECT_EQ(0, Zone("list", &out));
  EXPECT_EQ(
      "{\"zone\":2,\"name\":\"Trusted sites\",\"flags\":\"0x00000047\",\"requireVerification\":true}\n"
      "{\"site\":\"https://enroll.bank.example\",\"zone\":2,\"source\":\"machine\"}\n"
      "{\"site\":\"https://*.bank.example\",\"zone\":2,\"source\":\"user\"}\n"
      "{\"site\":\"http://127.0.0.1\",\"zone\":2,\"source\":\"user\"}\n",
      out);
}

TEST_F(ZoneCommandTest, MachinePolicyDecidesBeforeTheUsersMapping) {
  std::string out;
  ASSERT_EQ(0, Zone("add https://*.bank.example", &out));
  EXPECT_EQ(URLZONE_TRUSTED, ZoneOf(u"https://www.bank.example"));
  // The machine's list puts one host in the restricted zone: it wins over
  // the user's wildcard, for that host only; a bare host covers any scheme.
  HKEY list = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegCreateKeyExW(
                               HKEY_LOCAL_MACHINE,
                               u"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMapKey",
                               0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &list, nullptr));
  const char16_t kRestricted[] = u"4";
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(list, u"www.bank.example", 0, REG_SZ,
                                                 reinterpret_cast<const BYTE*>(kRestricted), sizeof kRestricted));
  Plat().RegCloseKey(list);
  EXPECT_EQ(URLZONE_UNTRUSTED, ZoneOf(u"https://www.bank.example"));
  EXPECT_EQ(URLZONE_UNTRUSTED, ZoneOf(u"http://www.bank.example:8080/x"));
  EXPECT_EQ(URLZONE_TRUSTED, ZoneOf(u"https://pay.bank.example"));
  // Another process's change is seen by this one at once.
  ASSERT_EQ(0, Zone("add https://*.www.bank.example --machine", &out));  // less specific than the host
  EXPECT_EQ(URLZONE_UNTRUSTED, ZoneOf(u"https://www.bank.example"));
  EXPECT_EQ(URLZONE_TRUSTED, ZoneOf(u"https://a.www.bank.example"));
  ASSERT_EQ(0, Zone("remove https://*.bank.example", &out));
  EXPECT_EQ(URLZONE_INTERNET, ZoneOf(u"https://pay.bank.example"));
}

}  // namespace
