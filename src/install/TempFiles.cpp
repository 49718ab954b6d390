#include "install/TempFiles.h"

#include "base/Platform.h"
#include "base/Status.h"
#include "request/KeyPair.h"
#include "trace/Trace.h"

TRACE_COMPONENT("TempFiles");

HRESULT GetTempDirPath(std::u16string* path) {
  char16_t buffer[MAX_PATH + 1] = {};
  const DWORD n = Plat().GetTempPathW(MAX_PATH, buffer);
  if (n == 0 || n > MAX_PATH) return n == 0 ? FailedCallStatusFullRule() : E_FAIL;
  *path = buffer;
  return S_OK;
}

HRESULT WriteDataToFile(const std::u16string& fileName, const BYTE* data, DWORD length) {
  const Platform& p = Plat();
  if (p.PathFileExistsW(fileName.c_str()) && !p.DeleteFileW(fileName.c_str())) {
    const HRESULT hr = FailedCallStatusWin32Rule();
    return TracedStatus(u"WriteDataToFile", u"CreateFile", hr);
  }
  // CREATE_NEW: never reuse or follow whatever appears at the name between
  // the check above and this call.
  HANDLE file = p.CreateFileW(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const HRESULT hr = FailedCallStatusWin32Rule();
    return TracedStatus(u"WriteDataToFile", u"CreateFile", hr);
  }
  DWORD written = 0;
  HRESULT hr = S_OK;
  if (!p.WriteFile(file, data, length, &written, nullptr) || written != length) {
    hr = FailedCallStatusWin32Rule();
    TraceStep(u"WriteDataToFile", u"WriteFile", hr);
  }
  p.CloseHandle(file);
  return hr;
}

void DumpDatatoTempFile(const BYTE* data, DWORD length, std::u16string* path) {
  TraceHelper trace("DumpDatatoTempFile");
  std::u16string guid, folder;
  if (FAILED(CreateGUIDStr(&guid))) {
    TRACE_FAILURE();
    return;
  }
  if (FAILED(GetTempDirPath(&folder))) {
    TRACE_FAILURE();
    return;
  }
  const std::u16string fileName = folder + guid + u".ZENQ";
  TRACE_VALUE(fileName.c_str());
  const HRESULT hr = WriteDataToFile(fileName, data, length);
  if (FAILED(hr)) {
    TRACE_FAILURE(static_cast<uint32_t>(hr));
    return;
  }
  if (path) *path = fileName;
}
