// The cryptographic provider entries of the soft table.
#include "platform/soft/crypto/SoftCrypto.h"

#include "platform/soft/SoftTable.h"

void SoftFillCrypto(Platform& t) {
  SoftFillCryptContext(t);
  SoftFillCryptKey(t);
  SoftFillCryptImport(t);
  SoftFillCryptDecrypt(t);
  SoftFillCryptEncrypt(t);
  SoftFillCryptHash(t);
}
