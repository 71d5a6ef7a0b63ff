// A console for tests: it records every byte printed and answers key reads from a script.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/console.h"

namespace kestrox::testing {

class ScriptedConsole final : public Console {
 public:
  // Each byte of `keys` answers one key read; once they are used up, reads get kNoKey.
  explicit ScriptedConsole(std::string keys = {}, bool utf8 = false)
      : keys_(std::move(keys)), utf8_(utf8) {}

  void write_out(std::string_view text) override;
  void write_err(std::string_view text) override;
  void flush() override {}
  int read_key() override;
  bool utf8() const override { return utf8_; }
  void read_keys_from_terminal() override { keys_from_terminal_ = true; }

  const std::string& out_text() const { return out_; }
  const std::string& err_text() const { return err_; }
  int keys_read() const { return keys_read_; }
  // True once the run has said that its keys must not come from standard input.
  bool keys_from_terminal() const { return keys_from_terminal_; }

  // Called after each piece of standard output with all of it so far, so that a test can change
  // the file system at an exact point of a run.
  std::function<void(const std::string& out)> on_out;
  // Called when a key is read, before it is answered: the same, at a question.
  std::function<void()> on_key;

 private:
  std::string keys_;
  bool utf8_;
  std::string out_;
  std::string err_;
  int keys_read_ = 0;
  bool keys_from_terminal_ = false;
};

}  // namespace kestrox::testing
