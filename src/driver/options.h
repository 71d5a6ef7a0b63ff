// The options that may come before the source, taken out of the arguments before the positional
// rules (source, options word, output directory) look at what is left.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrox {

// The name by which standard input is given as the source.
inline constexpr std::string_view kStandardInput = "-";

struct Options {
  bool quiet = false;                 // -q, --quiet
  std::optional<std::string> output;  // -o DIR, --output DIR, --output=DIR
  bool list = false;                  // --list: say what would be written, write nothing
  bool keep_both = false;             // --keep-both: number a name that is taken, never ask
  bool original_names = false;        // --original-names: names as the sender wrote them
  bool batch = false;                 // --batch: every word after the options is a source
  bool json = false;                  // --json: a batch run's lines as JSON objects
  bool message = false;               // --message: the message's text, meeting, attached items
  // Argument 0, then the arguments that follow the options, as the command line gave them.
  std::vector<std::string> arguments;
  // The option word that lacks its value ("-o" at the end), if any.
  std::optional<std::string> missing_value;
};

// Takes the options from the front of the arguments (argument 0 first): they end at the first
// word that is none of them, or after "--". A word that is no option is left for the positional
// rules, whatever it looks like ("--foo" is a source).
Options parse_options(std::span<const std::string> arguments);

}  // namespace kestrox
