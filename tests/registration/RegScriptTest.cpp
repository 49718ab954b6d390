// The registry script reader: each construct read into the tree, malformed
// scripts refused whole with nothing written, the replacements, and the
// registrar's removal rules.
#include <gtest/gtest.h>

#include "module/Registrar.h"
#include "support/FaultPlatform.h"
#include "support/TestSupport.h"

namespace {

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
      {u"HKCR { ForceRemove 'a b' = s 'it''s' }", S_OK, "HKCR:+a b=s:it's;"},
      {u"HKCR { Delete K }", S_OK, "HKCR:-K;"},
      {u"HKCR { 'Delete' }", S_OK, "HKCR:Delete;"},  // quoted: a name
      {u"HKLM { K { val B = b '0aFF' } }", S_OK, "HKLM:K{val B=b:0AFF;};"},  // 0x0A 0xFF
      {u"hkey_current_user { K { S = s '' } }", S_OK, "HKCU:K{S=s:;};"},
      {u"HKCR { {5E2C} = s '1' { val V = d '4294967295' } }", S_OK, "HKCR:{5E2C}=s:1{val V=d:FFFFFFFF;};"},
      {u"", S_OK, ""},
      {u"HKCR { K = s 'x'", DISP_E_EXCEPTION, ""},                 // unbalanced
      {u"HKXX { K }", DISP_E_EXCEPTION, ""},                       // unknown root
      {u"HKCR { K = q 'x' }", DISP_E_EXCEPTION, ""},               // unknown value letter
      {u"HKCR { K = d '4294967296' }", DISP_E_EXCEPTION, ""},      // beyond 32 bits
      {u"HKCR { K = d '12a' }", DISP_E_EXCEPTION, ""},             // not decimal
      {u"HKCR { K { val B = b 'ABC' } }", DISP_E_EXCEPTION, ""},   // odd hex
      {u"HKCR { K { val B = b 'GG' } }", DISP_E_EXCEPTION, ""},    // not hex
      {u"HKCR { val V = s 'x' }", DISP_E_EXCEPTION, ""},           // value outside a key
      {u"HKCR { K = s 'x }", DISP_E_EXCEPTION, ""},                // unterminated quote
      {u"HKCR { 'a\\b' }", DISP_E_EXCEPTION, ""},                  // path, not a name
      {u"HKCR { K = s x }", DISP_E_EXCEPTION, ""},                 // data unquoted
      {u"HKCR { NoRemove }", DISP_E_EXCEPTION, ""},                // no name
  };
  for (const auto& row : kRows) {
    std::vector<RegScriptRoot> script;
    EXPECT_EQ(ParseRegScript(row.text, &script), row.status) << Narrow(row.text);
    EXPECT_EQ(Render(script), row.tree) << Narrow(row.text);
  }
}

TEST(RegScript, ReplacementsAndTheirFailures) {
  const std::vector<RegReplacement> r = {{u"Module", u"C:\\it''s"}, {u"APPID", u"{A}"}};
  const struct { const char16_t* text; HRESULT status; const char16_t* expanded; } kRows[] = {
      {u"'%MODULE%' %appid% 100%%", S_OK, u"'C:\\it''s' {A} 100%"},
      {u"%Module_Raw%", DISP_E_EXCEPTION, u"-"},  // not offered here
      {u"50% off", DISP_E_EXCEPTION, u"-"},       // unclosed
  };
  for (const auto& row : kRows) {
    std::u16string out = u"-";
    EXPECT_EQ(ExpandRegScript(row.text, r, &out), row.status) << Narrow(row.text);
    EXPECT_EQ(Narrow(out.c_str()), Narrow(row.expanded));
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
