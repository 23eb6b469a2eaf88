// The deliberate misbehaviour the simulated recorder can be asked for. On
// the command line and in Options::faults a fault goes by its name; inside
// the server it is a Fault, so a misspelt one cannot compile.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zarvion::dvrsim {

// Each acts on every session.
enum class Fault : uint8_t {
  // Once each, right after the session start, before the live video:
  kOversizeFrame,      // a VideoFrame of 409,600 bytes (payload sent in full)
  kChannelOutOfRange,  // a real key frame on channel 20
  kLongNotice,         // a 3,000-byte ServerNotice without NUL
  kUnknownCode,        // a header with code 5 and no payload
  // Replies and the live video:
  kBigParamTable,    // VideoParamTable answers with 40 records
  kTruncatedFrame,   // the sixth round of live frames stops halfway through a
                     // payload and the connection is closed
  kTrickle,          // every byte is sent on its own, ~0.1 ms apart
  kWrongFirstReply,  // SessionQuery gets a FileList of 0 records, then live
                     // video as usual
  kCloseAfterLogin,  // the connection is closed once Login arrives
};

// A fault's name and the line --help gives it, in the order --help lists them.
struct FaultEntry {
  Fault fault;
  const char* name;
  const char* what;
};
std::span<const FaultEntry> FaultTable();

std::optional<Fault> FaultNamed(std::string_view name);

// The faults one server acts on.
class FaultSet {
 public:
  void Add(Fault f) { bits_ |= Bit(f); }
  bool Has(Fault f) const { return (bits_ & Bit(f)) != 0; }

 private:
  static uint32_t Bit(Fault f) { return 1u << static_cast<unsigned>(f); }
  uint32_t bits_ = 0;
};

}  // namespace zarvion::dvrsim
