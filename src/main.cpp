// Kestrox: recovers the attached files from a TNEF file (winmail.dat) or a MIME message holding one.
#include "driver/run.h"
#include "platform/host.h"

int main(int argc, char** argv) {
  kestrox::prepare_process();
  const auto arguments = kestrox::host_arguments(argc, argv);
  const auto console = kestrox::make_host_console();
  const kestrox::PathStyle style = kestrox::host_path_style();
  const int result = kestrox::run(arguments, *console, style);
  console->flush();
  return kestrox::exit_status(result, style);
}
