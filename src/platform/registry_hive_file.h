// The registry's hive files: where they are, reading one, and changing one
// safely among threads and processes (see registry.h). Internal to the
// registry; callers use registry.h.
#pragma once

#include <functional>
#include <optional>

#include "platform/registry.h"
#include "platform/registry_text.h"

namespace zarvion::reg {

// The hive as its file holds it now; empty when the file does not exist
// yet, none when there is no folder or the file cannot be read.
std::optional<HiveData> LoadHive(Hive hive);

// Runs `change` on the current hive under the locks and stores the result.
// `change` returns false to fail the call and true to commit; it sets
// *dirty when the hive differs from what was read, and only then is the
// file written. False when the hive could not be read or written.
bool ModifyHive(Hive hive, const std::function<bool(HiveData&, bool*)>& change);

}  // namespace zarvion::reg
