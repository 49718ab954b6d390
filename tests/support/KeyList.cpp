#include "support/KeyList.h"

#include <gtest/gtest.h>

#include "support/Base64Text.h"

std::vector<ListedKey> ListedKeys(const std::string& container) {
  std::string out;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " key list", &out), 0);
  const size_t at = out.find("\"container\":\"" + container + "\"");
  const std::string line = at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
  // The text of the first "name":"text" after `from`, up to the next key.
  auto text = [&line](const std::string& name, size_t from, size_t to) {
    const std::string key = "\"" + name + "\":\"";
    const size_t found = line.find(key, from);
    if (found == std::string::npos || found > to) return std::string();
    const size_t start = found + key.size();
    return line.substr(start, line.find('"', start) - start);
  };
  std::vector<ListedKey> keys;
  for (size_t k = line.find("{\"spec\""); k != std::string::npos;) {
    const size_t next = line.find("{\"spec\"", k + 1);
    const size_t end = next == std::string::npos ? line.size() : next;
    keys.push_back({text("spec", k, end), text("algorithm", k, end), Unbase64(text("publicKey", k, end)),
                    Unbase64(text("certificate", k, end))});
    k = next;
  }
  return keys;
}

const ListedKey* FindKey(const std::vector<ListedKey>& keys, const std::string& spec) {
  for (const ListedKey& k : keys)
    if (k.spec == spec) return &k;
  return nullptr;
}
