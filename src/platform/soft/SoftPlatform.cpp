#include "platform/soft/SoftTable.h"

namespace {

Platform BuildSoftTable() {
  Platform t{};
  FillUnimplemented(t);
  SoftFillThread(t);
  SoftFillCom(t);
  SoftFillErrorInfo(t);
  SoftFillTrace(t);
  SoftFillComObjects(t);
  SoftFillCertStores(t);
  SoftFillCertNames(t);
  SoftFillSignatureCheck(t);
  SoftFillChains(t);
  SoftFillVersion(t);
  SoftFillXmlDom(t);
  SoftFillZones(t);
  SoftFillResources(t);
  SoftFillTypeLibs(t);
  SoftFillTime(t);
  SoftFillFiles(t);
  SoftFillRegistry(t);
  SoftFillEncode(t);
  SoftFillCrypto(t);
  SoftFillPkcs11(t);
  return t;
}

}  // namespace

const Platform& DefaultPlatform() {
  static const Platform table = BuildSoftTable();
  return table;
}
