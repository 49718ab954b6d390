// `keyloom key list` while another process deletes containers: a container
// that goes between the enumeration and its opening is simply not listed,
// never a failure of the listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/Platform.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/CryptCalls.h"

namespace {

constexpr int kContainers = 80;

std::u16string Name(int i) {
  const std::string n = "race" + std::to_string(i);
  return std::u16string(n.begin(), n.end());
}

TEST(SoftListingRace, ListingDuringDeletionsSucceeds) {
  ScopedSoftHomes homes;
  for (int i = 0; i < kContainers; ++i)
    ASSERT_TRUE(MakeContainerKey(Name(i).c_str(), kEnhanced, AT_SIGNATURE, 512u << 16));
  SoftCloseDatabases();  // the child inherits no connection of this process
  const pid_t deleter = Spawn([] {
    for (int i = 0; i < kContainers; ++i) {
      HCRYPTPROV gone = 0;
      if (!Plat().CryptAcquireContextW(&gone, Name(i).c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        return 1;
      usleep(10000);  // spread over many listings
    }
    return 0;
  });
  int listings = 0, failed = 0, status = 0;
  std::string out, last;
  pid_t reaped = 0;
  while ((reaped = waitpid(deleter, &status, WNOHANG)) == 0 && listings < 200) {
    ++listings;
    if (RunCommand(KEYLOOM_CLI_PATH " key list --provider 'Microsoft Enhanced Cryptographic Provider v1.0' 2>&1",
                   &out) != 0) {
      ++failed;
      last = out;
    }
  }
  if (reaped == 0) {  // the listings' bound came first
    kill(deleter, SIGKILL);
    WaitExit(deleter);
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the deletions failed";
  }
  EXPECT_LE(1, listings);
  EXPECT_EQ(0, failed) << "of " << listings << " listings; the last failure said: " << last;
}

}  // namespace
