// Fuzz target: a certification request from a customer, as the help desk
// tool reads it (DER or Base64), decoded, its subject rendered and its
// signature checked. Any input must give a status, never a fault.
#include <cstdint>
#include <vector>

#include "request/RequestReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<BYTE> der;
  RequestSummary summary;
  if (SUCCEEDED(RequestOctets(std::vector<BYTE>(data, data + size), &der)))
    (void)ReadCertRequest(der, &summary);
  return 0;
}
