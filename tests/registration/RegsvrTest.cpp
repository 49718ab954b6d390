// `keyloom regsvr` on fresh homes: the registry entries it writes, read back
// with `keyloom reg query ... /s`; repeated, undone, per user; and the sites.
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace {

using RegsvrTest = SoftHomesTest;

const std::string kCli = KEYLOOM_CLI_PATH;
const std::string kModule = KEYLOOM_MODULE_PATH;

// `reg query ROOT /s` after registration, with @ for ROOT, %M% for the
// module's path and %D% for its folder.
const char kRegistered[] = R"({"key":"@","values":[],"subkeys":["AppID","CLSID","Interface","Keyloom.CryptoAgent.Tessel_V1.X64","Keyloom.CryptoAgent.Tessel_V1.X64.1","TypeLib"]}
{"key":"@\\AppID","values":[],"subkeys":["Keyloom.DLL","{D4B8E2F7-1C6A-4D39-9E85-7A3C0F2B6E18}"]}
{"key":"@\\AppID\\Keyloom.DLL","values":[{"name":"AppID","type":"REG_SZ","data":"{D4B8E2F7-1C6A-4D39-9E85-7A3C0F2B6E18}"}],"subkeys":[]}
{"key":"@\\AppID\\{D4B8E2F7-1C6A-4D39-9E85-7A3C0F2B6E18}","values":[{"name":"","type":"REG_SZ","data":"Keyloom"}],"subkeys":[]}
{"key":"@\\CLSID","values":[],"subkeys":["{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}"]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}","values":[{"name":"","type":"REG_SZ","data":"Tessel_V1 Control"}],"subkeys":["InprocServer32","ProgID","Programmable","TypeLib","VersionIndependentProgID"]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\InprocServer32","values":[{"name":"","type":"REG_SZ","data":"%M%"},{"name":"ThreadingModel","type":"REG_SZ","data":"Apartment"}],"subkeys":[]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\ProgID","values":[{"name":"","type":"REG_SZ","data":"Keyloom.CryptoAgent.Tessel_V1.X64.1"}],"subkeys":[]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\Programmable","values":[],"subkeys":[]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\TypeLib","values":[{"name":"","type":"REG_SZ","data":"{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}"}],"subkeys":[]}
{"key":"@\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\VersionIndependentProgID","values":[{"name":"","type":"REG_SZ","data":"Keyloom.CryptoAgent.Tessel_V1.X64"}],"subkeys":[]}
{"key":"@\\Interface","values":[],"subkeys":["{A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}"]}
{"key":"@\\Interface\\{A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}","values":[{"name":"","type":"REG_SZ","data":"ICryptoAgent"}],"subkeys":["ProxyStubClsid","ProxyStubClsid32","TypeLib"]}
{"key":"@\\Interface\\{A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}\\ProxyStubClsid","values":[{"name":"","type":"REG_SZ","data":"{00020424-0000-0000-C000-000000000046}"}],"subkeys":[]}
{"key":"@\\Interface\\{A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}\\ProxyStubClsid32","values":[{"name":"","type":"REG_SZ","data":"{00020424-0000-0000-C000-000000000046}"}],"subkeys":[]}
{"key":"@\\Interface\\{A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}\\TypeLib","values":[{"name":"","type":"REG_SZ","data":"{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}"},{"name":"Version","type":"REG_SZ","data":"1.0"}],"subkeys":[]}
{"key":"@\\Keyloom.CryptoAgent.Tessel_V1.X64","values":[{"name":"","type":"REG_SZ","data":"Tessel_V1 Control"}],"subkeys":["CLSID","CurVer"]}
{"key":"@\\Keyloom.CryptoAgent.Tessel_V1.X64\\CLSID","values":[{"name":"","type":"REG_SZ","data":"{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}"}],"subkeys":[]}
{"key":"@\\Keyloom.CryptoAgent.Tessel_V1.X64\\CurVer","values":[{"name":"","type":"REG_SZ","data":"Keyloom.CryptoAgent.Tessel_V1.X64.1"}],"subkeys":[]}
{"key":"@\\Keyloom.CryptoAgent.Tessel_V1.X64.1","values":[{"name":"","type":"REG_SZ","data":"Tessel_V1 Control"}],"subkeys":["CLSID"]}
{"key":"@\\Keyloom.CryptoAgent.Tessel_V1.X64.1\\CLSID","values":[{"name":"","type":"REG_SZ","data":"{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}"}],"subkeys":[]}
{"key":"@\\TypeLib","values":[],"subkeys":["{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}"]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}","values":[],"subkeys":["1.0"]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}\\1.0","values":[{"name":"","type":"REG_SZ","data":"Tessel_V1.x64 3.0 Type Library"}],"subkeys":["409","FLAGS","HELPDIR"]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}\\1.0\\409","values":[],"subkeys":["win64"]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}\\1.0\\409\\win64","values":[{"name":"","type":"REG_SZ","data":"%M%"}],"subkeys":[]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}\\1.0\\FLAGS","values":[{"name":"","type":"REG_SZ","data":"0"}],"subkeys":[]}
{"key":"@\\TypeLib\\{0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}\\1.0\\HELPDIR","values":[{"name":"","type":"REG_SZ","data":"%D%"}],"subkeys":[]}
)";

// After unregistration: the parents stay, empty.
const char kUnregistered[] = R"({"key":"@","values":[],"subkeys":["AppID","CLSID","Interface","TypeLib"]}
{"key":"@\\AppID","values":[],"subkeys":[]}
{"key":"@\\CLSID","values":[],"subkeys":[]}
{"key":"@\\Interface","values":[],"subkeys":[]}
{"key":"@\\TypeLib","values":[],"subkeys":[]}
)";

// The six sites of string 106, in the registry's order.
const char kZone[] = R"({"zone":2,"name":"Trusted sites","flags":"0x00000047","requireVerification":true}
{"site":"http://*.keyloom-bank.example","zone":2,"source":"user"}
{"site":"https://*.keyloom-bank.example","zone":2,"source":"user"}
{"site":"http://*.keyloom-bank.test","zone":2,"source":"user"}
{"site":"https://*.keyloom-bank.test","zone":2,"source":"user"}
{"site":"http://127.0.0.1","zone":2,"source":"user"}
{"site":"https://127.0.0.1","zone":2,"source":"user"}
)";

std::string Expected(const char* table, const std::string& root) {
  std::string text = table, out;
  const std::string folder = kModule.substr(0, kModule.rfind('/'));
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@') out += root;
    else if (text.compare(i, 3, "%M%") == 0) out += kModule, i += 2;
    else if (text.compare(i, 3, "%D%") == 0) out += folder, i += 2;
    else out += text[i];
  }
  return out;
}

int Cli(const std::string& args, std::string* out) {
  return RunCommand("KEYLOOM_MODULE=" + kModule + " " + kCli + " " + args + " 2>/dev/null", out);
}

// The tool's output, "exit N" when it failed.
std::string Out(const std::string& args) {
  std::string out;
  const int exit = Cli(args, &out);
  return exit == 0 ? out : "exit " + std::to_string(exit);
}

TEST_F(RegsvrTest, RegistersExactlyTheTableOnceAndUnregistersToTheParents) {
  std::string out;
  for (int run = 0; run < 2; ++run) {  // twice: one set of keys, one mapping each
    ASSERT_EQ(Cli("regsvr", &out), 0) << out;
    EXPECT_EQ(out, "{\"entry\":\"DllRegisterServer\",\"hr\":\"0x00000000\"}\n");
    EXPECT_EQ(Out("reg query HKCR /s"), Expected(kRegistered, "HKCR")) << "run " << run;
    EXPECT_EQ(Out("zone list"), kZone);
  }
  ASSERT_EQ(Cli("regsvr -u", &out), 0) << out;
  EXPECT_EQ(Out("reg query HKCR /s"), Expected(kUnregistered, "HKCR"));
  EXPECT_EQ(Out("zone list"), kZone) << "the sites stay";
}

// DllInstall alone (-n): "user" in any case registers for the user, another
// word machine-wide; the other side is never created.
TEST_F(RegsvrTest, InstallCommandLineChoosesTheSide) {
  const struct { const char *option, *written, *untouched; } kRows[] = {
      {"-n -i:USER", "HKCU\\\\Software\\\\Classes", "HKLM\\\\Software\\\\Classes"},
      {"-n '-i:user '", "HKLM\\\\Software\\\\Classes", "HKCU\\\\Software\\\\Classes"},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    std::string out;
    ASSERT_EQ(Cli(std::string("regsvr ") + row.option, &out), 0) << row.option;
    EXPECT_EQ(out, "{\"entry\":\"DllInstall\",\"hr\":\"0x00000000\"}\n");
    EXPECT_EQ(Out(std::string("reg query ") + row.written + " /s"), Expected(kRegistered, row.written));
    EXPECT_EQ(Out(std::string("reg query ") + row.untouched), "exit 1") << row.option;
  }
}

}  // namespace
