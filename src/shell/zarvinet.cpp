#include "shell/zarvinet.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/code_page.h"
#include "shell/module.h"
#include "shell/type_library.h"

namespace zarvion {
namespace {

// What a VARIANT argument asks of a setting.
enum class Arg { kIgnore, kText };

struct Converted {
  Arg arg = Arg::kIgnore;
  std::string gbk;  // valid when arg == kText; a null string gives ""
};

std::optional<Converted> Convert(const Variant& v, size_t maxBytes) {
  Converted c;
  if (v.vt() != VT_BSTR) return c;
  c.arg = Arg::kText;
  const std::u16string* s = v.bstrVal();
  if (!s || s->empty()) return c;
  auto gbk = Utf16ToGbk(*s, maxBytes, Cut::kWholeCharacters);
  if (!gbk) return std::nullopt;
  c.gbk = std::move(*gbk);
  return c;
}

void StoreHostName(ControlObject& obj, const std::string& gbk) {
  std::lock_guard lock(obj.settingsLock);
  std::memset(obj.szHostName, 0, sizeof obj.szHostName);
  std::memcpy(obj.szHostName, gbk.data(), std::min(gbk.size(), kHostNameMaxBytes));
}

void StoreLoginPara(ControlObject& obj, const std::string& gbk) {
  std::lock_guard lock(obj.settingsLock);
  std::memset(obj.szLoginPara, 0, sizeof obj.szLoginPara);
  std::memcpy(obj.szLoginPara, gbk.data(), std::min(gbk.size(), kLoginParaMaxBytes));
}

void StorePort(ControlObject& obj, uint16_t port) {
  std::lock_guard lock(obj.settingsLock);
  obj.wHostPort = port;
}

}  // namespace

uint16_t PortFromText(std::string_view gbk) {
  size_t i = 0;
  while (i < gbk.size() && (gbk[i] == ' ' || (gbk[i] >= '\t' && gbk[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < gbk.size() && (gbk[i] == '+' || gbk[i] == '-')) negative = gbk[i++] == '-';
  int64_t value = 0;
  for (; i < gbk.size() && gbk[i] >= '0' && gbk[i] <= '9'; ++i) {
    value = value * 10 + (gbk[i] - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)));
}

Zarvinet::Zarvinet() {
  ModuleAddRef();
}

Zarvinet::~Zarvinet() {
  ModuleRelease();
}

HRESULT Zarvinet::strHostName(const Variant& value) {
  auto c = Convert(value, kHostNameMaxBytes);
  if (!c) return E_NO_UNICODE_TRANSLATION;
  if (c->arg == Arg::kText) StoreHostName(object_, c->gbk);
  return S_OK;
}

HRESULT Zarvinet::strHostPort(const Variant& value) {
  auto c = Convert(value, SIZE_MAX);
  if (!c) return E_NO_UNICODE_TRANSLATION;
  if (c->arg == Arg::kText) StorePort(object_, PortFromText(c->gbk));
  return S_OK;
}

HRESULT Zarvinet::ConnectServer(Variant strHost, Variant strPort, Variant strPara) {
  // All three are converted before anything is stored, so a text that
  // cannot be converted leaves every setting as it was.
  auto host = Convert(strHost, kHostNameMaxBytes);
  auto port = Convert(strPort, SIZE_MAX);
  auto para = Convert(strPara, kLoginParaMaxBytes);
  if (!host || !port || !para) return E_NO_UNICODE_TRANSLATION;

  // Empty host or port keep the earlier ones; an empty parameter is stored.
  if (host->arg == Arg::kText && !host->gbk.empty()) StoreHostName(object_, host->gbk);
  if (port->arg == Arg::kText && !port->gbk.empty()) StorePort(object_, PortFromText(port->gbk));
  if (para->arg == Arg::kText) StoreLoginPara(object_, para->gbk);

  EnsureEvents(object_);
  object_.hConnectEvent->Set();
  return S_OK;
}

HRESULT Zarvinet::GetIDsOfNames(std::span<const std::u16string_view> names,
                                std::span<DISPID> ids) const {
  if (ids.size() < names.size()) return E_INVALIDARG;
  std::shared_ptr<const TypeLibrary> lib;
  ZarvionTypeLibrary(&lib);
  if (lib) return lib->NamesToIds(names, ids);
  for (size_t i = 0; i < names.size(); ++i) ids[i] = DISPID_UNKNOWN;
  return names.empty() ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT Zarvinet::Invoke(DISPID id, uint16_t flags, std::span<const Variant> args) {
  std::shared_ptr<const TypeLibrary> lib;
  if (HRESULT hr = ZarvionTypeLibrary(&lib); !Succeeded(hr)) return hr;
  const TypeMember* m = lib->FindMember(id);
  if (!m) return DISP_E_MEMBERNOTFOUND;
  const uint16_t wanted =
      m->kind == MemberKind::kPropertyPut ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD;
  if (!(flags & wanted)) return DISP_E_MEMBERNOTFOUND;
  if (args.size() != m->params.size()) return DISP_E_BADPARAMCOUNT;
  switch (id) {
    case DISPID_strHostName:
      return strHostName(args[0]);
    case DISPID_strHostPort:
      return strHostPort(args[0]);
    case DISPID_ConnectServer:
      return ConnectServer(args[0], args[1], args[2]);
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

std::string GuidToString(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

}  // namespace zarvion
