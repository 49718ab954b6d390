// keyloom: the host tool of the control.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/PlatformHandles.h"
#include "keyloom/CallCommand.h"
#include "keyloom/KeyCommand.h"
#include "keyloom/ModuleLoader.h"
#include "keyloom/RegCommand.h"
#include "keyloom/ZoneCommand.h"
#include "keyloom/RequestCommand.h"
#include "keyloom/StoreCommand.h"
#ifdef KEYLOOM_AGENT
#include "keyloom/agent/AgentCommand.h"
#endif

namespace {

const char kUsage[] =
    "usage: keyloom COMMAND ...\n"
    "\n"
    "  call METHOD [ARG...] [-- METHOD [ARG...]]...\n"
    "      Create one control through the module's class factory and invoke the\n"
    "      methods in order through IDispatch, as page script does. Arguments are\n"
    "      passed as strings and coerced (\"1024\" for a long). Prints one JSON\n"
    "      object per call: {\"method\":NAME,\"hr\":\"0x%08x\",\"result\":VALUE},\n"
    "      VALUE being the string or boolean result, or null when the call failed.\n"
    "      Exit status: 0 when every call returned 0, 1 when one failed.\n"
    "\n"
    "  key list [--provider NAME]\n"
    "      One JSON object per key container of the user's providers (or of NAME):\n"
    "      provider, container, and its keys with spec (\"exchange\" or\n"
    "      \"signature\"), algorithm, bits, the public key (Base64 of its DER\n"
    "      SubjectPublicKeyInfo) and the certificate stored with the key or null.\n"
    "\n"
    "  key delete --provider NAME --container NAME\n"
    "      Delete one key container.\n"
    "\n"
    "  key verify --provider NAME --container NAME\n"
    "      Check each key pair of the container: a fresh random value signed with\n"
    "      the private key must verify with the exported public key, and for RSA\n"
    "      exchange keys a value encrypted to the public key must decrypt; then\n"
    "      the same signature is checked with the certificate bound to the key\n"
    "      (stored with it, or linked from the user's \"My\" store). One JSON\n"
    "      object per key: spec, publicKeyMatchesPrivate, certificateMatches\n"
    "      (null when no certificate is bound). Exit status: 0 when every check\n"
    "      holds, 1 otherwise.\n"
    "\n"
    "  store list [--machine] STORE\n"
    "      One JSON object per certificate of the user's (or the machine's)\n"
    "      system store STORE, opened read-only: thumbprint (SHA-1), subject and\n"
    "      issuer (most specific part first), serial (hex, most significant\n"
    "      first), notBefore and notAfter (UTC), and key: the provider, container\n"
    "      and spec of its key-provider link, or null. A store that does not\n"
    "      exist is an error; the predefined ones (\"My\", \"Root\", \"CA\", ...)\n"
    "      list as empty until something is added.\n"
    "\n"
    "  store delete [--machine] STORE THUMBPRINT\n"
    "      Delete the certificate whose SHA-1 thumbprint (40 hex digits) is\n"
    "      THUMBPRINT from the user's (or the machine's) system store STORE.\n"
    "      Exit status 1 with the failure on standard error when it is not there.\n"
    "\n"
    "  request inspect FILE|-\n"
    "      Read a PKCS#10 request (DER, or the Base64 text the request methods\n"
    "      return) from FILE or standard input and print one JSON object: subject,\n"
    "      keyAlgorithm, keyBits, signatureAlgorithm, attributes (oid, form\n"
    "      \"special\" or \"pkcs9\", value: the challenge text or the temporary\n"
    "      key in Base64) and signatureValid, checked by the platform.\n"
    "      Exit status: 0 when the signature holds, 1 when it does not or the\n"
    "      request cannot be read.\n"
    "\n"
    "  regsvr [-u] [-n] [-i[:CMDLINE]]\n"
    "      Call the module's registration exports as the platform's registration\n"
    "      tool does: DllRegisterServer; with -u DllUnregisterServer; with -i\n"
    "      also DllInstall(TRUE, CMDLINE) after a successful registration, or with\n"
    "      -u -i DllInstall(FALSE, CMDLINE) before the unregistration; -n (with -i)\n"
    "      calls DllInstall alone. CMDLINE \"user\" registers for the current user.\n"
    "      Prints {\"entry\":NAME,\"hr\":\"0x%08x\"} per export called.\n"
    "\n"
    "  reg query KEY [/s]\n"
    "      One JSON object for the registry key KEY (HKCR\\..., HKCU\\..., HKLM\\...):\n"
    "      {\"key\",\"values\":[{\"name\",\"type\",\"data\"}],\"subkeys\":[...]}; with /s\n"
    "      one for every key below it too. A missing key is an error.\n"
    "\n"
    "  zone list\n"
    "      The trusted-sites zone's name and flags (requireVerification), then\n"
    "      one JSON object per site: {\"site\",\"zone\",\"source\"}, first the\n"
    "      machine policy's list (source \"machine\"), which decides first, then\n"
    "      the user's mappings (source \"user\").\n"
    "  zone add|remove PATTERN [--machine]\n"
    "      Put PATTERN (scheme://host, host may start with \"*.\") in the trusted\n"
    "      sites, or take it out: the user's mapping, or with --machine the\n"
    "      machine policy's list. Removing one that is not there fails.\n"
    "  zone add --carried [--machine]\n"
    "      Put every site the module carries (its string 106, the list\n"
    "      registration maps) in the trusted sites, as registration does: the\n"
    "      user's mappings, or with --machine the machine policy's list.\n"
    "\n"
  #ifdef KEYLOOM_AGENT
    "  agent [--port N] [--idle-timeout SECONDS] [--max-per-origin N]\n"
    "        [--max-connections N] [--max-keys-per-minute N]\n"
    "        [--allow-origin ORIGIN]...\n"
    "      Serve the control to web pages over a WebSocket on 127.0.0.1 and ::1,\n"
    "      port N (default 17443; 0 picks a free one); refuses to start unless\n"
    "      it holds both. Admitted: connections of this user's processes whose\n"
    "      Origin is an https site of the trusted-sites zone or an ORIGIN named\n"
    "      exactly (\"http://127.0.0.1:18080\"), and that reach the agent as\n"
    "      127.0.0.1, [::1] or localhost with its port; each gets one control on\n"
    "      a thread of its own. A connection without messages closes after\n"
    "      SECONDS (default 300); one origin may hold N open connections\n"
    "      (default 8), all origins together --max-connections (default 64);\n"
    "      a connection makes at most --max-keys-per-minute keys (default 30).\n"
    "      Prints \"keyloom agent listening on ws://127.0.0.1:PORT/\" when\n"
    "      ready and one line per refused handshake on standard error; stops\n"
    "      on SIGINT or SIGTERM.\n"
    "      Messages: {\"id\":N,\"method\":NAME,\"params\":[...]}, answered with\n"
    "      {\"id\":N,\"hr\":\"0x%08x\",\"result\":VALUE} and on failure a\n"
    "      \"description\" in the page's Accept-Language (Chinese or English).\n"
    "\n"
#endif
    "  --help\n"
    "      This text.\n"
    "\n"
#ifdef _WIN32
    "The module is %KEYLOOM_MODULE%, else keyloom.dll beside this program.\n"
#else
    "The module is $KEYLOOM_MODULE, else libkeyloom.so where it is installed\n"
    "relative to this program (or lib/ of the build folder), else where the\n"
    "install rules put it.\n"
    "The soft platform keeps its data under $KEYLOOM_HOME (user) and\n"
    "$KEYLOOM_MACHINE_HOME (machine); KEYLOOM_TRACE (hex mask) and\n"
    "KEYLOOM_TRACE_FILE switch tracing on.\n"
#endif
    "Exit status 2: a usage error.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::string> rest(argv + 2, argv + argc);

  if (command == "key" || command == "request" || command == "store" || command == "reg" ||
      command == "zone") {
    PlatformCall call;  // the command's waits end at one deadline, its closing included
    const int code = command == "key"       ? RunKeyCommand(rest)
                     : command == "request" ? RunRequestCommand(rest)
                     : command == "reg"     ? RunRegCommand(rest)
                     : command == "zone"    ? RunZoneCommand(rest)
                                            : RunStoreCommand(rest);
    return code == 2 ? Usage() : code;
  }

#ifdef KEYLOOM_AGENT
  if (command == "agent") {
    const int code = RunAgentCommand(rest, ModulePath(argv[0]));
    return code == 2 ? Usage() : code;
  }
#endif

  std::vector<MethodCall> calls;
  if (command == "call") {
    if (!ParseCalls(rest, &calls)) return Usage();
  } else if (command != "regsvr") {
    std::fprintf(stderr, "keyloom: unknown command '%s'\n\n", command.c_str());
    return Usage();
  }

  LoadedModule module;
  std::string error;
  if (!LoadModule(ModulePath(argv[0]), &module, &error)) {
    std::fprintf(stderr, "keyloom: %s\n", error.c_str());
    return 1;
  }
  const int code = command == "call" ? RunCalls(module, calls) : RunRegsvr(module, rest);
  UnloadModule(&module);
  return code;
}
