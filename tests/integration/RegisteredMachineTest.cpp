// A registered machine as the bank's page finds it: `keyloom regsvr` on
// fresh homes installs the carried root chains, ZENQ_CheckCertificateChain
// holds, and fails with a described status once an intermediate leaves the
// machine's "CA" or a root's registry entry is removed.
#include <gtest/gtest.h>

#include <string>

#include "base/Platform.h"
#include "support/ScriptHost.h"
#include "support/TestSupport.h"

namespace {

const char16_t kRoots[] = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

// The thumbprints of the certificates `keyloom store list` prints whose
// line holds `text`, in its order.
std::vector<std::string> Thumbprints(const std::string& args, const std::string& text) {
  std::string out;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " store list " + args, &out), 0);
  std::vector<std::string> found;
  const std::string key = "{\"thumbprint\":\"";
  for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1))
    if (out.substr(at, out.find('\n', at) - at).find(text) != std::string::npos)
      found.push_back(out.substr(at + key.size(), 40));
  return found;
}

// The check's status, and that GetLastErrorDesc then names it.
HRESULT Check(ScriptHost& page) {
  const ScriptResult r = page.Call("ZENQ_CheckCertificateChain");
  char code[16];
  std::snprintf(code, sizeof code, "(0x%08x)", static_cast<unsigned>(r.hr));
  EXPECT_NE(page.Call("GetLastErrorDesc").text.find(code), std::string::npos) << code;
  EXPECT_EQ(r.flag, r.hr == S_OK);
  return r.hr;
}

TEST(RegisteredMachine, CarriedChainIsCheckedAsInstalled) {
  ScopedSoftHomes homes;
  ScopedEnv lang("LANG", "C");
  ScriptHost page;
  EXPECT_EQ(Check(page), static_cast<HRESULT>(0xA0071033)) << "nothing installed yet";
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " regsvr", nullptr), 0);
  EXPECT_EQ(Check(page), S_OK);

  // An intermediate leaves the machine's "CA": its own lookup or the chain
  // of a certificate below it fails.
  const std::vector<std::string> intermediates = Thumbprints("--machine CA", "RSA");
  ASSERT_FALSE(intermediates.empty());
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " store delete --machine CA " + intermediates[0], nullptr), 0);
  const HRESULT withoutIntermediate = Check(page);
  EXPECT_TRUE(withoutIntermediate == static_cast<HRESULT>(0xA0071033) ||
              withoutIntermediate == static_cast<HRESULT>(0x80092004))
      << std::hex << withoutIntermediate;

  // Registering again repairs it; then an RSA root's registry entry goes
  // (the check reads the RSA document).
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " regsvr", nullptr), 0);
  EXPECT_EQ(Check(page), S_OK);
  const std::vector<std::string> roots = Thumbprints("--machine Root", "RSA");
  ASSERT_FALSE(roots.empty());
  const std::u16string entry = std::u16string(kRoots) + u"\\" + std::u16string(roots[0].begin(), roots[0].end());
  ASSERT_EQ(Plat().RegDeleteTreeW(HKEY_LOCAL_MACHINE, entry.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(Check(page), static_cast<HRESULT>(0xA0071033));
}

}  // namespace
