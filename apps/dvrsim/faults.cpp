// Every fault the server can be asked for, with what it does; the help text
// and the list of known names are made from this table, so a new fault
// cannot be left out of either.
#include "dvrsim/faults.h"

#include <string>
#include <vector>

#include "dvrsim/dvrsim.h"

namespace zarvion::dvrsim {

namespace {

constexpr FaultEntry kFaults[] = {
    {Fault::kOversizeFrame, "oversize-frame",
     "one VideoFrame of 409,600 bytes, right after the session start"},
    {Fault::kChannelOutOfRange, "channel-out-of-range",
     "one real key frame on channel 20, right after the session start"},
    {Fault::kLongNotice, "long-notice",
     "one 3,000-byte ServerNotice without NUL, right after the session start"},
    {Fault::kBigParamTable, "big-param-table", "VideoParamTable answers with 40 records"},
    {Fault::kTruncatedFrame, "truncated-frame",
     "the sixth round of live frames stops mid-payload; the connection closes"},
    {Fault::kTrickle, "trickle", "every byte is sent on its own, ~0.1 ms apart"},
    {Fault::kWrongFirstReply, "wrong-first-reply",
     "SessionQuery gets a FileList of 0 records, then live video"},
    {Fault::kUnknownCode, "unknown-code",
     "one header with code 5 and no payload, right after the session start"},
    {Fault::kCloseAfterLogin, "close-after-login", "the connection is closed once Login arrives"},
};

}  // namespace

std::span<const FaultEntry> FaultTable() {
  return kFaults;
}

std::optional<Fault> FaultNamed(std::string_view name) {
  for (const FaultEntry& f : kFaults) {
    if (name == f.name) return f.fault;
  }
  return std::nullopt;
}

const std::vector<std::string>& KnownFaults() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const FaultEntry& f : kFaults) v.emplace_back(f.name);
    return v;
  }();
  return names;
}

}  // namespace zarvion::dvrsim
