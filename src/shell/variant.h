// The value a host passes to a scripted member, and the result codes the
// members return. Only what the control's interface needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zarvion {

using HRESULT = int32_t;
using DISPID = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
// A text that has no form in the system code page.
constexpr HRESULT E_NO_UNICODE_TRANSLATION = static_cast<HRESULT>(0x80070459);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);

constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BOOL = 11,
};

// A tagged value. A VT_BSTR may hold a null string, which is not the same
// value as an empty one (though the control treats both as empty).
class Variant {
 public:
  Variant() = default;
  static Variant Null() {
    Variant v;
    v.vt_ = VT_NULL;
    return v;
  }
  static Variant I4(int32_t value) {
    Variant v;
    v.vt_ = VT_I4;
    v.lVal_ = value;
    return v;
  }
  static Variant Bool(bool value) {
    Variant v;
    v.vt_ = VT_BOOL;
    v.lVal_ = value ? -1 : 0;
    return v;
  }
  static Variant Bstr(std::u16string_view text) {
    Variant v;
    v.vt_ = VT_BSTR;
    v.bstr_.assign(text);
    v.bstrNull_ = false;
    return v;
  }
  static Variant NullBstr() {
    Variant v;
    v.vt_ = VT_BSTR;
    return v;
  }

  VarType vt() const { return vt_; }
  // The integer of a VT_I4 or VT_BOOL; 0 otherwise.
  int32_t lVal() const { return (vt_ == VT_I4 || vt_ == VT_BOOL) ? lVal_ : 0; }
  // The string of a VT_BSTR; null for a null string or another type.
  const std::u16string* bstrVal() const {
    return (vt_ == VT_BSTR && !bstrNull_) ? &bstr_ : nullptr;
  }

 private:
  VarType vt_ = VT_EMPTY;
  int32_t lVal_ = 0;
  bool bstrNull_ = true;
  std::u16string bstr_;
};

}  // namespace zarvion
