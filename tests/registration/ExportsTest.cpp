// The registration exports under the fault platform: the module-path limit
// and the zone's verification flag. The registry script reader: each construct
// read into the tree, malformed scripts refused whole with nothing written,
// and the registrar's removal rules.
#include <gtest/gtest.h>

#include "base/ModuleState.h"
#include "module/Exports.h"
#include "module/Registrar.h"
#include "module/Registration.h"
#include "module/TrustSites.h"
#include "support/FaultPlatform.h"
#include "support/TestSupport.h"

namespace {

struct ExportsTest : SoftHomesTest {
  void TearDown() override { Module().perUser = false; }
};

std::u16string g_path;
DWORD ScriptedModulePath(HMODULE, char16_t* path, DWORD size) {
  const DWORD n = static_cast<DWORD>(std::min<size_t>(g_path.size(), size - 1));
  std::copy(g_path.begin(), g_path.begin() + n, path);
  path[n] = 0;
  return g_path.size() < size ? n : size;  // truncated: the platform answers size
}

std::u16string InprocServer() {
  HKEY key = nullptr;
  char16_t value[400] = {};
  DWORD size = sizeof value;
  if (Plat().RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\InprocServer32",
                           0, KEY_READ, &key) != ERROR_SUCCESS)
    return u"";
  Plat().RegQueryValueExW(key, u"", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  Plat().RegCloseKey(key);
  return value;
}

// The path lands in InprocServer32 as it is, a quote in it included (the
// script doubles it inside its quoted text).
TEST_F(ExportsTest, ModulePathOf260OrMoreFailsRegistrationButSitesAreMapped) {
  const struct { std::u16string path; HRESULT status; } kRows[] = {
      {u"/opt/o'neil's/" + std::u16string(245, u'k'), S_OK},  // 259 characters
      {u"/opt/" + std::u16string(255, u'k'), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)}};
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    FaultPlatform platform;
    platform.table.GetModuleFileNameW = &ScriptedModulePath;
    g_path = row.path;
    EXPECT_EQ(DllRegisterServer(), row.status) << row.path.size();
    EXPECT_EQ(InprocServer(), row.status == S_OK ? row.path : u"");
    EXPECT_EQ(platform.CountOf("SetZoneMapping"), 6u) << "sites whatever the status";
    EXPECT_EQ(DllUnregisterServer(), row.status);
  }
}

struct Zone {
  void* security = nullptr;
  void* zones = nullptr;
  Zone() {
    Plat().CoInitialize(nullptr);
    Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr, 1, IID_IInternetSecurityManager, &security);
    Plat().CoCreateInstance(CLSID_InternetZoneManager, nullptr, 1, IID_IInternetZoneManager, &zones);
  }
  ~Zone() {
    Plat().ComRelease(zones);
    Plat().ComRelease(security);
    Plat().CoUninitialize();
  }
  DWORD Of(const char16_t* url) {
    DWORD zone = 0;
    Plat().MapUrlToZone(security, url, &zone, 0);
    return zone;
  }
  DWORD Flags() {
    ZONEATTRIBUTES a{};
    a.cbSize = sizeof a;
    Plat().GetZoneAttributes(zones, URLZONE_TRUSTED, &a);
    return a.dwFlags;
  }
};

// A refused mapping: the flag cleared for it (a new home's zone has it) is
// set again, so the zone never ends weaker.
TEST_F(ExportsTest, VerificationFlagIsSetAgainAfterAFailedMapping) {
  ASSERT_EQ(Zone().Flags() & ZAFLAGS_REQUIRE_VERIFICATION, ZAFLAGS_REQUIRE_VERIFICATION);
  FaultPlatform platform;
  platform.FailCall("SetZoneMapping", 1, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(AddTrustSite(u"http://x.example"), static_cast<HRESULT>(0x80070057));
  EXPECT_EQ(platform.CountOf("SetZoneAttributes"), 2u);
  Zone zone;
  EXPECT_EQ(zone.Flags() & ZAFLAGS_REQUIRE_VERIFICATION, ZAFLAGS_REQUIRE_VERIFICATION);
  EXPECT_EQ(zone.Of(u"http://x.example"), URLZONE_INTERNET);
}

// name[mode]=value{val ...; subkeys}, value as type:data (text, or hex).
std::string Render(const RegScriptValue& v) {
  if (v.type == REG_SZ) return "s:" + Narrow(reinterpret_cast<const char16_t*>(v.data.data()));
  return (v.type == REG_DWORD ? "d:" : "b:") + ToHex(v.data.data(), v.data.size(), "");
}

std::string Render(const RegScriptKey& k) {
  static const char* kModes[] = {"", "!", "+", "-"};  // plain, NoRemove, ForceRemove, Delete
  std::string out = kModes[static_cast<int>(k.mode)];
  out.append(Narrow(k.name.c_str()));
  if (k.hasDefault) out.append("=").append(Render(k.defaultValue));
  if (!k.values.empty() || !k.subKeys.empty()) {
    out += "{";
    for (const RegScriptValue& v : k.values)
      out.append("val ").append(Narrow(v.name.c_str())).append("=").append(Render(v)).append(";");
    for (const RegScriptKey& s : k.subKeys) out.append(Render(s)).append(";");
    out += "}";
  }
  return out;
}

std::string Render(const std::vector<RegScriptRoot>& script) {
  std::string out;
  for (const RegScriptRoot& r : script) {
    out += r.root == HKEY_CLASSES_ROOT ? "HKCR:" : r.root == HKEY_CURRENT_USER ? "HKCU:" : "HKLM:";
    for (const RegScriptKey& k : r.keys) out.append(Render(k)).append(";");
  }
  return out;
}

TEST(RegScript, ReadsEachConstructAndRefusesMalformedScripts) {
  const struct { const char16_t* text; HRESULT status; const char* tree; } kRows[] = {  // tree: as read
      {u"HKCR { K = s 'x' }", S_OK, "HKCR:K=s:x;"},
      {u"HKCR { NoRemove K { val V = d '0x10' } }", S_OK, "HKCR:!K{val V=d:10000000;};"},  // 16, LE
      {u"HKLM { K { val B = b '0aFF' } }", S_OK, "HKLM:K{val B=b:0AFF;};"},  // 0x0A 0xFF
      {u"hkey_current_user { K { S = s '' } }", S_OK, "HKCU:K{S=s:;};"},
      {u"HKCR { {5E2C} = s '1' { val V = d '4294967295' } }", S_OK, "HKCR:{5E2C}=s:1{val V=d:FFFFFFFF;};"},
      {u"HKCR { K = s 'x'", DISP_E_EXCEPTION, ""},                 // unbalanced
      {u"HKXX { K }", DISP_E_EXCEPTION, ""},                       // unknown root
      {u"HKCR { K = q 'x' }", DISP_E_EXCEPTION, ""},               // unknown value letter
      {u"HKCR { K { val B = b 'ABC' } }", DISP_E_EXCEPTION, ""},   // odd hex
  };
  for (const auto& row : kRows) {
    std::vector<RegScriptRoot> script;
    EXPECT_EQ(ParseRegScript(row.text, &script), row.status) << Narrow(row.text);
    EXPECT_EQ(Render(script), row.tree) << Narrow(row.text);
  }
}

// A script malformed in its second part writes nothing of its first.
TEST(RegScript, MalformedScriptWritesNothing) {
  ScopedSoftHomes homes;
  FaultPlatform platform;
  EXPECT_EQ(RunRegScriptText(u"HKCR { Good = s 'x' } HKCR { Bad = q 'y' }", {}, true, false), DISP_E_EXCEPTION);
  EXPECT_EQ(platform.CountOf("RegCreateKeyExW"), 0u);
  EXPECT_EQ(platform.CountOf("RegSetValueExW"), 0u);
}

// A plain key with a stranger's subkey stays, a ForceRemove key goes whole, a
// NoRemove key stays without its listed values, a Delete key goes at registration.
TEST(RegScript, UnregistrationKeepsWhatOthersAddedBelow) {
  ScopedSoftHomes homes;
  const char16_t kScript[] =
      u"HKCU { NoRemove Kept { val V = s 'v' Plain { A } ForceRemove Forced { B } } Delete Gone }";
  ASSERT_EQ(RunRegScriptText(u"HKCU { Gone { X } Kept { Plain { Stranger } Forced { Extra } } }", {}, true, false),
            S_OK);
  ASSERT_EQ(RunRegScriptText(kScript, {}, true, false), S_OK);
  auto exists = [](const char16_t* path) {
    HKEY key = nullptr;
    const bool found = Plat().RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (found) Plat().RegCloseKey(key);
    return found;
  };
  EXPECT_FALSE(exists(u"Gone"));
  EXPECT_FALSE(exists(u"Kept\\Forced\\Extra")) << "ForceRemove deleted the tree first";
  EXPECT_TRUE(exists(u"Kept\\Forced\\B"));
  ASSERT_EQ(RunRegScriptText(kScript, {}, false, false), S_OK);
  EXPECT_TRUE(exists(u"Kept"));
  EXPECT_FALSE(exists(u"Kept\\Forced"));
  EXPECT_FALSE(exists(u"Kept\\Plain\\A"));
  EXPECT_TRUE(exists(u"Kept\\Plain\\Stranger")) << "a stranger's key keeps its parent";
  HKEY kept = nullptr;
  ASSERT_EQ(Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Kept", 0, KEY_READ, &kept), ERROR_SUCCESS);
  EXPECT_EQ(Plat().RegQueryValueExW(kept, u"V", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  Plat().RegCloseKey(kept);
}

}  // namespace
