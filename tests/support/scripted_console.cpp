// The scripted console of the tests.
#include "support/scripted_console.h"

namespace kestrox::testing {

void ScriptedConsole::write_out(std::string_view text) {
  out_.append(text);
  if (on_out) on_out(out_);
}

void ScriptedConsole::write_err(std::string_view text) { err_.append(text); }

int ScriptedConsole::read_key() {
  if (on_key) on_key();
  const std::size_t index = static_cast<std::size_t>(keys_read_++);
  return index < keys_.size() ? static_cast<unsigned char>(keys_[index]) : kNoKey;
}

}  // namespace kestrox::testing
