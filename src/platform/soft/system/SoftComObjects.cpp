// CoCreateInstance of the platform classes the system creates in-process,
// and the one release for every object it hands out.
#include "platform/soft/system/SoftComObject.h"
#include "platform/soft/SoftTable.h"

namespace {

struct ClassEntry {
  const CLSID* clsid;
  const IID* iid;
  SoftComObject* (*make)();
};

const ClassEntry kClasses[] = {
    {&CLSID_DOMDocument, &IID_IXMLDOMDocument, &SoftNewXmlDocument},
    {&CLSID_InternetSecurityManager, &IID_IInternetSecurityManager, &SoftNewSecurityManager},
    {&CLSID_InternetZoneManager, &IID_IInternetZoneManager, &SoftNewZoneManager},
};

const IID kIidUnknown = {0x00000000, 0x0000, 0x0000,
                         {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

HRESULT CoCreateInstanceImpl(REFCLSID clsid, void* outer, DWORD context, REFIID iid,
                             void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!SoftComInitialized()) return CO_E_NOTINITIALIZED;
  for (const ClassEntry& c : kClasses) {
    if (*c.clsid != clsid) continue;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (iid != *c.iid && iid != kIidUnknown) return E_NOINTERFACE;
    SoftComObject* made = c.make();
    if (made == nullptr) return E_OUTOFMEMORY;
    *object = made;
    return S_OK;
  }
  return REGDB_E_CLASSNOTREG;
}

ULONG ComReleaseImpl(void* object) { return SoftComRelease(static_cast<SoftComObject*>(object)); }

}  // namespace

void SoftFillComObjects(Platform& t) {
  t.CoCreateInstance = &CoCreateInstanceImpl;
  t.ComRelease = &ComReleaseImpl;
}
