#include "keyloom/Failure.h"

#include <cstdio>

#include "control/ErrorText.h"
#include "encoding/Unicode.h"

int ReportFailure(const std::string& what, HRESULT status) {
  std::string text = Utf16ToUtf8(DescribeStatus(status));
  text = text.substr(0, text.rfind("\n("));  // the status is printed in front
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::fprintf(stderr, "keyloom %s: 0x%08x%s%s\n", what.c_str(), static_cast<unsigned>(status),
               text.empty() ? "" : " ", text.c_str());
  return 1;
}
