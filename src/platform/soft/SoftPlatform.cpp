#include "platform/soft/SoftTable.h"

namespace {

Platform BuildSoftTable() {
  Platform t{};
  SoftFillUnimplemented(t);
  SoftFillThread(t);
  SoftFillCom(t);
  SoftFillTrace(t);
  SoftFillEncode(t);
  SoftFillRegistry(t);
  SoftFillCrypto(t);
  return t;
}

}  // namespace

const Platform& DefaultPlatform() {
  static const Platform table = BuildSoftTable();
  return table;
}
