// Registrar scripts: the text that describes a class's registry entries,
// run in registration or removal mode into a batch of registry changes.
//
//   HKCR                                  the only root: HKEY_CLASSES_ROOT
//   {
//     NoRemove Name                       kept on removal; only its listed
//     {                                   sub-keys are removed
//       ForceRemove 'Other' = s 'text'    deleted with everything below it
//       {                                 before it is written
//         val Named = s 'text'            a named value (s text, d number)
//         Sub = d '5'
//       }
//     }
//   }
//
// A key without NoRemove is deleted with everything below it on removal.
// Names are bare words (letters, digits, ".", "_", "-", and a GUID in
// braces) or quoted with '...' ('' stands for one quote). Variables
// written %NAME% in names and texts are replaced; %% is one percent sign.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace zarvion {

enum class RegistrarMode { kRegister, kUnregister };

// Adds the script's changes to `batch`. False (and nothing added) when the
// script is malformed or names an unknown variable.
bool RunRegistrarScript(std::string_view script, const std::map<std::string, std::string>& vars,
                        RegistrarMode mode, RegBatch* batch);

}  // namespace zarvion
