// Korvo: a window in which the user picks a player command and an output
// device, opens or drops music files, and watches what the player prints.
#include <gtk/gtk.h>

#include <clocale>
#include <cstdio>

#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "i18n.h"
#include "output_text.h"
#include "window.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  bindtextdomain(kTextDomain, kLocaleDir);
  bind_textdomain_codeset(kTextDomain, "UTF-8");
  textdomain(kTextDomain);

  choices.device_label = "default";
  // Without any player there is nothing the window could do.
  if (!discover_commands() || command_list().empty()) {
    fputs(_("Command vesko,aplay are not found.\n"), stderr);
    return 1;
  }
  discover_devices();
  const std::string path = config_path();
  if (!path.empty() && config_read(path)) config_apply(choices);
  if (!output_init()) {
    perror(_("sem_init() failed."));
    return 1;
  }

  gtk_init(&argc, &argv);
  window_build();
  gtk_main();
  return 0;
}
