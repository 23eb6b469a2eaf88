// The scriptable control object: the host stores the server address, port
// and login parameter through IZarvinet and asks for a connection, which
// the connection thread makes later. Nothing here touches the network.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "net/control_object.h"
#include "shell/persistence.h"
#include "shell/variant.h"

namespace zarvion {

// Dispatch ids of the interface's members.
constexpr DISPID DISPID_strHostName = 1;
constexpr DISPID DISPID_strHostPort = 2;
constexpr DISPID DISPID_ConnectServer = 3;

// How a member is invoked through Invoke.
constexpr uint16_t DISPATCH_METHOD = 0x1;
constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;

// Byte limits of the stored settings, counting GBK bytes.
constexpr size_t kHostNameMaxBytes = sizeof(ControlObject::szHostName) - 1;  // 63
constexpr size_t kLoginParaMaxBytes = kLoginPayloadSize;                     // 128

class IZarvinet {
 public:
  virtual ~IZarvinet() = default;
  // Property puts. Only a VT_BSTR is honoured; any other type leaves the
  // setting as it was and succeeds.
  virtual HRESULT strHostName(const Variant& value) = 0;
  virtual HRESULT strHostPort(const Variant& value) = 0;
  virtual HRESULT ConnectServer(Variant strHost, Variant strPort, Variant strPara) = 0;
};

// Each member returns S_OK, or E_NO_UNICODE_TRANSLATION when a text has no
// form in the system code page; then no setting changes and no connection
// is requested. A text too long for its setting is cut before the first
// character that would cross the byte limit, so no half character is ever
// stored or sent.
class Zarvinet final : public IZarvinet {
 public:
  // Each live object holds the module (see DllCanUnloadNow).
  Zarvinet();
  ~Zarvinet() override;
  Zarvinet(const Zarvinet&) = delete;
  Zarvinet& operator=(const Zarvinet&) = delete;

  HRESULT strHostName(const Variant& value) override;
  HRESULT strHostPort(const Variant& value) override;
  HRESULT ConnectServer(Variant strHost, Variant strPort, Variant strPara) override;

  // Scripting by name, resolved through the registered type library
  // ZARVIONLib 1.0 (loaded once per process on first use). The first name
  // is a member, any further ones its parameters, which get their positions
  // (ConnectServer, strHost, strPara gives 3, 0, 2). Names compare
  // case-insensitively; unknown names get DISPID_UNKNOWN (-1) and make the
  // call fail with DISP_E_UNKNOWNNAME, as does every name while the type
  // library is not registered.
  HRESULT GetIDsOfNames(std::span<const std::u16string_view> names, std::span<DISPID> ids) const;
  // `args` in the order of the member's parameters (first parameter first).
  // Fails with the type library's load error while it is not registered.
  HRESULT Invoke(DISPID id, uint16_t flags, std::span<const Variant> args);

  // The control's extent as its container last set it, starting at the
  // size of its window's template; what SaveExtent and LoadExtent persist.
  HimetricSize extent = InitialExtent();

  // For the host, read only: what the connection thread is doing and why
  // the last connect failed or the last session ended. Nothing a script
  // sees changes; the control itself never reads it.
  SessionStatus Status() const { return ReadSessionStatus(object_); }
  // For the host, read only: the last snapshot the capture button took.
  SnapshotStatus LastSnapshot() const { return ReadLastSnapshot(object_); }
  // For the host: names for the cameras, shown in the captions in place of
  // "CH k" from the next composition on; an empty name (the default) keeps
  // "CH k". Nothing a script sees changes.
  void SetCameraNames(const CameraNames& names) { zarvion::SetCameraNames(object_, names); }
  // For the host, read only: the record button's recording now, or how the
  // last one ended (the window starts and stops it: ControlWindow).
  RecordingStatus Recording() const { return ReadRecording(object_); }
  // For the host, read only: the last notice the recorder sent.
  NoticeStatus LastNotice() const { return ReadLastNotice(object_); }

  // For the host: motion on channel 0..15 (whether an event lasts, the
  // changed share now and at its peak, a count of starts and ends, the
  // peak frame's thumbnail), and the settings of its detector: on (the
  // default) or off, sensitivity 1..10 (default 5), the blocks to ignore.
  // Nothing a script sees changes.
  MotionStatus Motion(int channel) const { return object_.motion.Status(channel); }
  // The blocks changing now on the channel, one word per grid row.
  MotionMask MotionBlocks(int channel) const { return object_.motion.Changed(channel); }
  void SetMotionEnabled(int channel, bool on) { object_.motion.SetEnabled(channel, on); }
  void SetMotionSensitivity(int channel, int sensitivity) {
    object_.motion.SetSensitivity(channel, sensitivity);
  }
  void SetMotionMask(int channel, const MotionMask& mask) { object_.motion.SetMask(channel, mask); }

  // The record the control window and the connection thread are built on.
  ControlObject& Object() { return object_; }
  const ControlObject& Object() const { return object_; }

 private:
  ControlObject object_;
};

constexpr DISPID DISPID_UNKNOWN = -1;

// The text the control's decimal port conversion gives: atoi of the GBK
// text (leading blanks, a sign, digits; values beyond 32 bits saturate),
// then its low 16 bits.
uint16_t PortFromText(std::string_view gbk);

// ---- identifiers and type description ----

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;
  bool operator==(const Guid&) const = default;
};
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToString(const Guid& guid);

constexpr Guid CLSID_Zarvinet = {
    0x9DEF5882, 0xA4D2, 0x448E, {0xA2, 0xC8, 0xA8, 0xA8, 0x82, 0x79, 0xB8, 0x3E}};
constexpr Guid LIBID_ZARVIONLib = {
    0x6DE63C68, 0x61C4, 0x409F, {0x98, 0x9F, 0x69, 0xAB, 0x8E, 0xAE, 0x01, 0x57}};
constexpr Guid IID_IZarvinet = {
    0xA12C870A, 0x7E21, 0x45CC, {0x81, 0x5F, 0x2E, 0xF3, 0xB0, 0x7B, 0x89, 0x9A}};

constexpr const char* kProgId = "Zarvion.Zarvinet.1";
constexpr const char* kVersionIndependentProgId = "Zarvion.Zarvinet";

}  // namespace zarvion
