// The bridge's user RBFO parameter set as the tool last read it, kept in the tool's state
// directory, so that a bridge flashed by 'lep3 recover' gets back the set its update was
// meant to keep.
#pragma once

#include <optional>
#include <string>

#include "lep3.h"

namespace lep3tool {

// $STATE_DIRECTORY (set by systemd), else $XDG_STATE_HOME/lep3, else ~/.local/state/lep3.
std::string state_directory();

// Writes the set (a new file renamed over the old one); false, with the reason in why, when
// it can't be kept.
bool save_user_rbfo(const lep3_rbfo_t &rbfo, std::string &why);
// The set saved last, if any.
std::optional<lep3_rbfo_t> saved_user_rbfo();

} // namespace lep3tool
