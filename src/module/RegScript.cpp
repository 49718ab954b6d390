#include "module/RegScript.h"

#include <cstring>
#include <optional>

#include "encoding/Unicode.h"

namespace {

bool Space(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

struct Token {
  std::u16string text;
  bool quoted = false;
  bool Is(std::u16string_view word) const { return !quoted && EqualsAsciiNoCase(text, word); }
};

// Reads the text into tokens; false for an unterminated quote.
bool Tokenize(std::u16string_view text, std::vector<Token>* tokens) {
  size_t i = 0;
  while (true) {
    while (i < text.size() && Space(text[i])) ++i;
    if (i == text.size()) return true;
    Token t;
    if (text[i] == u'\'') {
      t.quoted = true;
      for (++i;; ++i) {
        if (i == text.size()) return false;
        if (text[i] != u'\'') t.text += text[i];
        else if (i + 1 < text.size() && text[i + 1] == u'\'') t.text += text[++i];
        else break;
      }
      ++i;
    } else {
      while (i < text.size() && !Space(text[i])) t.text += text[i++];
    }
    tokens->push_back(std::move(t));
  }
}

std::optional<HKEY> RootNamed(const Token& t) {
  struct Name {
    const char16_t *shortName, *longName;
    HKEY key;
  };
  static const Name kRoots[] = {
      {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {u"HKU", u"HKEY_USERS", HKEY_USERS},
  };
  for (const Name& n : kRoots)
    if (t.Is(n.shortName) || t.Is(n.longName)) return n.key;
  return std::nullopt;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  c = AsciiLower(c);
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

bool ParseNumber(std::u16string_view s, DWORD* value) {
  uint64_t v = 0;
  const bool hex = s.size() > 2 && s[0] == u'0' && AsciiLower(s[1]) == u'x';
  if (hex) s.remove_prefix(2);
  if (s.empty()) return false;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0 || (!hex && d > 9)) return false;
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<DWORD>(v);
  return true;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool Script(std::vector<RegScriptRoot>* roots) {
    while (!AtEnd()) {
      std::optional<HKEY> root = RootNamed(Next());
      if (!root || !Expect(u"{")) return false;
      RegScriptRoot r{*root, {}};
      if (!Entries(&r.keys, nullptr)) return false;
      roots->push_back(std::move(r));
    }
    return true;
  }

 private:
  bool AtEnd() const { return pos_ >= tokens_.size(); }
  const Token& Next() {
    static const Token kNone{u"", false};
    return AtEnd() ? kNone : tokens_[pos_++];
  }
  bool Peek(std::u16string_view word) const { return !AtEnd() && tokens_[pos_].Is(word); }
  bool Expect(std::u16string_view word) { return !AtEnd() && Next().Is(word); }

  static bool GoodName(const Token& t) {
    if (t.text.empty() || t.text.find(u'\\') != std::u16string::npos) return false;
    return t.quoted || (t.text != u"{" && t.text != u"}" && t.text != u"=");
  }

  // Entries up to the closing brace; values only where `values` is given.
  bool Entries(std::vector<RegScriptKey>* keys, std::vector<RegScriptValue>* values) {
    while (true) {
      if (AtEnd()) return false;
      if (Peek(u"}")) return ++pos_, true;
      if (Peek(u"val")) {
        ++pos_;
        if (values == nullptr) return false;
        const Token& name = Next();
        RegScriptValue v;
        if (!GoodName(name) || !Expect(u"=") || !Value(&v)) return false;
        v.name = name.text;
        values->push_back(std::move(v));
        continue;
      }
      RegScriptKey key;
      if (Peek(u"NoRemove")) key.mode = RegKeyMode::kNoRemove;
      else if (Peek(u"ForceRemove")) key.mode = RegKeyMode::kForceRemove;
      else if (Peek(u"Delete")) key.mode = RegKeyMode::kDelete;
      if (key.mode != RegKeyMode::kPlain) ++pos_;
      const Token& name = Next();
      if (!GoodName(name)) return false;
      key.name = name.text;
      if (Peek(u"=")) {
        ++pos_;
        key.hasDefault = true;
        if (!Value(&key.defaultValue)) return false;
      }
      if (Peek(u"{")) {
        ++pos_;
        if (!Entries(&key.subKeys, &key.values)) return false;
      }
      keys->push_back(std::move(key));
    }
  }

  bool Value(RegScriptValue* v) {
    const Token& letter = Next();
    const Token& data = Next();
    if (!data.quoted) return false;
    if (letter.Is(u"s")) {
      v->type = REG_SZ;
      const size_t bytes = (data.text.size() + 1) * sizeof(char16_t);
      v->data.resize(bytes);
      std::memcpy(v->data.data(), data.text.c_str(), bytes);
      return true;
    }
    if (letter.Is(u"d")) {
      DWORD n = 0;
      if (!ParseNumber(data.text, &n)) return false;
      v->type = REG_DWORD;
      v->data = {static_cast<BYTE>(n), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n >> 16),
                 static_cast<BYTE>(n >> 24)};
      return true;
    }
    if (letter.Is(u"b")) {
      if (data.text.size() % 2 != 0) return false;
      v->type = REG_BINARY;
      for (size_t i = 0; i < data.text.size(); i += 2) {
        const int hi = HexDigit(data.text[i]), lo = HexDigit(data.text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        v->data.push_back(static_cast<BYTE>(hi * 16 + lo));
      }
      return true;
    }
    return false;
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

}  // namespace

HRESULT ExpandRegScript(std::u16string_view text, const std::vector<RegReplacement>& replacements,
                        std::u16string* out) {
  std::u16string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      result += text[i];
      continue;
    }
    const size_t close = text.find(u'%', i + 1);
    if (close == std::u16string_view::npos) return DISP_E_EXCEPTION;
    const std::u16string_view name = text.substr(i + 1, close - i - 1);
    if (name.empty()) {
      result += u'%';
    } else {
      const RegReplacement* found = nullptr;
      for (const RegReplacement& r : replacements)
        if (EqualsAsciiNoCase(r.name, name)) found = &r;
      if (found == nullptr) return DISP_E_EXCEPTION;
      result += found->value;
    }
    i = close;
  }
  *out = std::move(result);
  return S_OK;
}

HRESULT ParseRegScript(std::u16string_view text, std::vector<RegScriptRoot>* script) {
  script->clear();
  std::vector<Token> tokens;
  if (!Tokenize(text, &tokens)) return DISP_E_EXCEPTION;
  Parser parser(std::move(tokens));
  std::vector<RegScriptRoot> roots;
  if (!parser.Script(&roots)) return DISP_E_EXCEPTION;
  *script = std::move(roots);
  return S_OK;
}
