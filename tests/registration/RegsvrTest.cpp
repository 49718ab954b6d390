// `keyloom regsvr` on fresh homes: the registry entries it writes, read back
// with `keyloom reg query ... /s`; repeated, undone, per user; and the sites.
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace {

using RegsvrTest = SoftHomesTest;

const std::string kCli = KEYLOOM_CLI_PATH;
const std::string kModule = KEYLOOM_MODULE_PATH;

// The entry of `reg query ROOT /s` that names the module; the whole table's
// keys and values are read back under Wine (tests/wine/registry.tsv).
std::string InprocServer(const std::string& root) {
  return "{\"key\":\"" + root + "\\\\CLSID\\\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\\\InprocServer32\","
         "\"values\":[{\"name\":\"\",\"type\":\"REG_SZ\",\"data\":\"" + kModule + "\"},"
         "{\"name\":\"ThreadingModel\",\"type\":\"REG_SZ\",\"data\":\"Apartment\"}],\"subkeys\":[]}\n";
}

// After unregistration: the parents stay, empty.
const char kUnregistered[] = R"({"key":"@","values":[],"subkeys":["AppID","CLSID","Interface","TypeLib"]}
{"key":"@\\AppID","values":[],"subkeys":[]}
{"key":"@\\CLSID","values":[],"subkeys":[]}
{"key":"@\\Interface","values":[],"subkeys":[]}
{"key":"@\\TypeLib","values":[],"subkeys":[]}
)";

std::string Unregistered(const std::string& root) {
  std::string out;
  for (const char c : std::string(kUnregistered)) out += c == '@' ? root : std::string(1, c);
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

TEST_F(RegsvrTest, RegistersOnceAndUnregistersToTheParents) {
  std::string out, first, sites;
  for (int run = 0; run < 2; ++run) {  // twice: one set of keys, one mapping each
    ASSERT_EQ(Cli("regsvr", &out), 0) << out;
    EXPECT_EQ(out, "{\"entry\":\"DllRegisterServer\",\"hr\":\"0x00000000\"}\n");
    const std::string tree = Out("reg query HKCR /s");
    EXPECT_EQ(Count(tree, "{\"key\":"), 28) << tree;
    EXPECT_NE(tree.find(InprocServer("HKCR")), std::string::npos) << tree;
    if (run == 1) {
      EXPECT_EQ(tree, first) << "a second registration changed the keys";
    }
    first = tree;
    sites = Out("zone list");
    EXPECT_EQ(Count(sites, "\n"), 7) << sites;  // the zone and six sites
  }
  ASSERT_EQ(Cli("regsvr -u", &out), 0) << out;
  EXPECT_EQ(Out("reg query HKCR /s"), Unregistered("HKCR"));
  EXPECT_EQ(Out("zone list"), sites) << "the sites stay";
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
    const std::string tree = Out(std::string("reg query ") + row.written + " /s");
    EXPECT_EQ(Count(tree, "{\"key\":"), 28) << tree;
    EXPECT_NE(tree.find(InprocServer(row.written)), std::string::npos) << tree;
    EXPECT_EQ(Out(std::string("reg query ") + row.untouched), "exit 1") << row.option;
  }
}

}  // namespace
