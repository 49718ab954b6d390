// The unimplemented table and the completeness check, both generated from
// the one list of entries.
#include "base/Platform.h"

namespace {

void SetLastErrorOfActiveTable(DWORD error) { Plat().SetLastError(error); }

template <typename F, PlatformFailure K>
struct Unimplemented;

template <typename R, typename... A, PlatformFailure K>
struct Unimplemented<R (*)(A...), K> {
  static R Call(A...) {
    return PlatformFailedResult<K, R>(ERROR_CALL_NOT_IMPLEMENTED, &SetLastErrorOfActiveTable);
  }
};

}  // namespace

void FillUnimplemented(Platform& table) {
#define KL_PLATFORM_ENTRY(ret, name, params, args, failure) \
  table.name = &Unimplemented<decltype(Platform::name), PlatformFailure::k##failure>::Call;
#include "base/PlatformEntries.inc"
}

const Platform& UnimplementedPlatform() {
  static const Platform table = [] {
    Platform t{};
    FillUnimplemented(t);
    return t;
  }();
  return table;
}

const char* PlatformNullEntry(const Platform& table) {
#define KL_PLATFORM_ENTRY(ret, name, params, args, failure) \
  if (table.name == nullptr) return #name;
#include "base/PlatformEntries.inc"
  return nullptr;
}
