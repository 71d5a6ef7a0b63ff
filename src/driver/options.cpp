// Reading the options in front of the source.
#include "driver/options.h"

#include <string_view>

namespace kestrox {

Options parse_options(std::span<const std::string> arguments) {
  Options options;
  if (arguments.empty()) return options;
  options.arguments.push_back(arguments[0]);
  std::size_t next = 1;
  constexpr std::string_view kOutputEquals = "--output=";
  while (next < arguments.size()) {
    const std::string& word = arguments[next];
    if (word == "--") {
      ++next;
      break;
    }
    if (word == "-q" || word == "--quiet") {
      options.quiet = true;
    } else if (word == "--list") {
      // A listing is for scripts: it is a batch run that writes nothing.
      options.list = options.batch = true;
    } else if (word == "--batch") {
      options.batch = true;
    } else if (word == "--json") {
      options.json = options.batch = true;
    } else if (word == "--message") {
      options.message = true;
    } else if (word == "--keep-both") {
      options.keep_both = true;
    } else if (word == "--original-names") {
      options.original_names = true;
    } else if (word.starts_with(kOutputEquals)) {
      options.output = word.substr(kOutputEquals.size());
    } else if (word == "-o" || word == "--output") {
      if (next + 1 == arguments.size()) {
        options.missing_value = word;
        return options;
      }
      options.output = arguments[++next];
    } else {
      break;
    }
    ++next;
  }
  options.arguments.insert(options.arguments.end(), arguments.begin() + next, arguments.end());
  return options;
}

}  // namespace kestrox
