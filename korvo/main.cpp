// Korvo: a window in which the user picks a player command and an output
// device, opens or drops music files, and watches what the player plays.
#include <gtk/gtk.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "choices.h"
#include "config.h"
#include "dialogs.h"
#include "discovery.h"
#include "fatal.h"
#include "i18n.h"
#include "output_text.h"
#include "window.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  bindtextdomain(kTextDomain, kLocaleDir);
  bind_textdomain_codeset(kTextDomain, "UTF-8");
  textdomain(kTextDomain);

  // Without a display the errors below go to standard error alone, and
  // gtk_init says why there is no window.
  if (gtk_init_check(&argc, &argv)) fatal_set_reporter(dialog_fatal);
  choices.device_label = "default";
  // Without any player there is nothing the window could do.
  if (!discover_commands() || command_list().empty()) fatal_exit(_("Command vesko,aplay are not found.\n"));
  discover_devices();
  const std::string path = config_path();
  if (!path.empty() && config_read(path)) config_apply(choices);
  if (!output_init()) fatal_exit((std::string(_("sem_init() failed.")) + ": " + strerror(errno) + "\n").c_str());

  gtk_init(&argc, &argv);
  window_build();
  gtk_main();
  return 0;
}
