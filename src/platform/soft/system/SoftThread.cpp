// Thread state, texts and languages of the soft platform.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "encoding/Unicode.h"
#include "base/Status.h"
#include "platform/soft/SoftTable.h"

namespace {

thread_local DWORD t_lastError = 0;
thread_local LCID t_threadLocale = 0x0409;
// The thread's UI language (SetThreadUILanguage); 0: the user's.
thread_local LANGID t_uiLanguage = 0;

struct SystemMessage {
  uint32_t status;
  const char16_t* english;
  const char16_t* chinese;
};
const SystemMessage kSystemMessages[] = {
#include "platform/soft/system/SystemMessages.inc"
};

struct ModuleString {
  uint32_t id;
  const char16_t* english;
  const char16_t* chinese;
};
const ModuleString kModuleStrings[] = {
#include "StringTable.inc"
};

constexpr LANGID kEnglish = 1033;
constexpr LANGID kChinese = 2052;

DWORD GetLastErrorImpl() { return t_lastError; }
void SetLastErrorImpl(DWORD e) { t_lastError = e; }

// Simplified Chinese (PRC 2052, Singapore 4100) reads the Chinese texts;
// every other language the English ones.
LANGID TextLanguage(LANGID language) {
  return language == kChinese || language == 0x1004 ? kChinese : kEnglish;
}

// The user's language: Simplified Chinese when the first set one of LC_ALL,
// LC_MESSAGES and LANG names zh_CN, zh_SG or zh_Hans; English otherwise.
LANGID UserLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == 0) continue;
    const std::string_view s(v);
    for (const char* prefix : {"zh_CN", "zh_SG", "zh_Hans"})
      if (s.substr(0, std::strlen(prefix)) == prefix) return kChinese;
    return kEnglish;
  }
  return kEnglish;
}

// The language of the thread's texts: its UI language when one is set,
// else the user's.
LANGID ThreadLanguage() { return t_uiLanguage ? TextLanguage(t_uiLanguage) : UserLanguage(); }

DWORD CopyOut(const char16_t* text, char16_t* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  const size_t n = WideLength(text);
  if (n + 1 > size) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, text, (n + 1) * sizeof(char16_t));
  return static_cast<DWORD>(n);
}

DWORD FormatMessageImpl(DWORD flags, const void*, DWORD messageId, DWORD languageId,
                        char16_t* buffer, DWORD size, void*) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  uint32_t key = messageId;
  if (static_cast<int32_t>(key) > 0) key = static_cast<uint32_t>(StatusFromErrorWin32Rule(key));
  const LANGID lang =
      languageId ? TextLanguage(static_cast<LANGID>(languageId)) : ThreadLanguage();
  for (const SystemMessage& m : kSystemMessages)
    if (m.status == key) return CopyOut(lang == kChinese ? m.chinese : m.english, buffer, size);
  t_lastError = 317;  // ERROR_MR_MID_NOT_FOUND
  return 0;
}

int LoadStringImpl(HINSTANCE, UINT id, char16_t* buffer, int size) {
  if (buffer == nullptr || size <= 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  buffer[0] = 0;
  for (const ModuleString& s : kModuleStrings) {
    if (s.id != id) continue;
    const char16_t* text = ThreadLanguage() == kChinese ? s.chinese : s.english;
    size_t n = WideLength(text);
    if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
    std::memcpy(buffer, text, n * sizeof(char16_t));
    buffer[n] = 0;
    return static_cast<int>(n);
  }
  t_lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
  return 0;
}

LANGID GetUserDefaultUILanguageImpl() { return UserLanguage(); }
LCID GetThreadLocaleImpl() { return t_threadLocale; }
BOOL SetThreadLocaleImpl(LCID locale) {
  t_threadLocale = locale;
  return TRUE;
}

// Code pages: the soft platform's ANSI code page is UTF-8, so the thread's
// ANSI text (pure ASCII in this system) and UTF-8 convert alike.
int MultiByteToWideCharImpl(UINT, DWORD, const char* text, int length, char16_t* buffer,
                            int size) {
  if (text == nullptr || size < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const size_t n = length < 0 ? std::strlen(text) + 1 : static_cast<size_t>(length);
  const std::u16string wide = Utf8ToUtf16(std::string_view(text, n));
  if (size == 0) return static_cast<int>(wide.size());
  if (wide.size() > static_cast<size_t>(size)) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, wide.data(), wide.size() * sizeof(char16_t));
  return static_cast<int>(wide.size());
}

int WideCharToMultiByteImpl(UINT, DWORD, const char16_t* text, int length, char* buffer,
                            int size, const char*, BOOL* usedDefault) {
  if (text == nullptr || size < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (usedDefault) *usedDefault = FALSE;
  const size_t n = length < 0 ? WideLength(text) + 1 : static_cast<size_t>(length);
  const std::string narrow = Utf16ToUtf8(std::u16string_view(text, n));
  if (size == 0) return static_cast<int>(narrow.size());
  if (narrow.size() > static_cast<size_t>(size)) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, narrow.data(), narrow.size());
  return static_cast<int>(narrow.size());
}

}  // namespace

void SoftSetLastError(DWORD error) { t_lastError = error; }

// kernel32's SetThreadUILanguage for the soft module, found with dlsym by a
// host that serves each caller on a thread of its own (the browser agent).
// Sets the calling thread's UI language, which LoadStringW and
// FormatMessageW (language 0) then use in place of the user's; 0 clears it.
// Returns the language set, or the user's language after a clear.
extern "C" __attribute__((visibility("default"))) LANGID SetThreadUILanguage(LANGID language) {
  t_uiLanguage = language;
  return language ? language : UserLanguage();
}
DWORD SoftGetLastError() { return t_lastError; }

void SoftFillThread(Platform& t) {
  t.GetLastError = &GetLastErrorImpl;
  t.SetLastError = &SetLastErrorImpl;
  t.FormatMessageW = &FormatMessageImpl;
  t.LoadStringW = &LoadStringImpl;
  t.GetUserDefaultUILanguage = &GetUserDefaultUILanguageImpl;
  t.GetThreadLocale = &GetThreadLocaleImpl;
  t.SetThreadLocale = &SetThreadLocaleImpl;
  t.MultiByteToWideChar = &MultiByteToWideCharImpl;
  t.WideCharToMultiByte = &WideCharToMultiByteImpl;
}
