#include "dialogs.h"

#include <gtk/gtk.h>

#include <string>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "i18n.h"
#include "process_control.h"
#include "window.h"

namespace {

constexpr int kMessageMargin = 10;
constexpr int kSettingsSpacing = 5;
constexpr int kRowSpacing = 2;
constexpr int kBufferEntryChars = 4;

// The settings dialog's inputs, read by its Ok button.
struct settings_widgets {
  GtkToggleButton* convert = nullptr;
  GtkEntry* buffer = nullptr;
};
settings_widgets settings;

void close_dialog(GtkWidget* dialog) {
  gtk_grab_remove(dialog);
  gtk_widget_destroy(dialog);
}

gboolean on_dialog_delete(GtkWidget* dialog, GdkEvent*, gpointer) {
  close_dialog(dialog);
  return TRUE;
}

void on_close_clicked(GtkButton*, gpointer dialog) { close_dialog(GTK_WIDGET(dialog)); }

// A modal window at the mouse position above the main window.
GtkWidget* new_dialog(const char* title) {
  GtkWidget* dialog = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_MOUSE);
  gtk_window_set_transient_for(GTK_WINDOW(dialog), window_main());
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "delete-event", G_CALLBACK(on_dialog_delete), nullptr);
  return dialog;
}

void show_dialog(GtkWidget* dialog) {
  gtk_widget_show_all(dialog);
  gtk_grab_add(dialog);
}

GtkWidget* margined_label(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_widget_set_margin_start(label, kMessageMargin);
  gtk_widget_set_margin_end(label, kMessageMargin);
  gtk_widget_set_margin_top(label, kMessageMargin);
  gtk_widget_set_margin_bottom(label, kMessageMargin);
  return label;
}

// A message and one button (the default) that closes the dialog.
void message_dialog(const char* title, const char* message, const char* button_label) {
  GtkWidget* dialog = new_dialog(title);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_start(GTK_BOX(box), margined_label(message), TRUE, TRUE, 0);
  GtkWidget* button = gtk_button_new_with_label(button_label);
  g_signal_connect(button, "clicked", G_CALLBACK(on_close_clicked), dialog);
  gtk_box_pack_start(GTK_BOX(box), button, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(dialog), box);
  gtk_widget_set_can_default(button, TRUE);
  gtk_widget_grab_default(button);
  show_dialog(dialog);
}

void on_settings_ok(GtkButton*, gpointer dialog) {
  choices.convert_format = gtk_toggle_button_get_active(settings.convert) != FALSE;
  config_set_number(kKeyBitperfect, choices.convert_format ? 0 : 1);
  choices.buffer_mb = choices_buffer_from_entry(gtk_entry_get_text(settings.buffer));
  config_set_number(kKeyBufferSize, choices.buffer_mb);
  close_dialog(GTK_WIDGET(dialog));
}

}  // namespace

void dialog_open_file() {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(_("Korvo - Open File"), window_main(), GTK_FILE_CHOOSER_ACTION_OPEN,
                                                   _("_Cancel"), GTK_RESPONSE_CANCEL, _("_Open"),
                                                   GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_position(GTK_WINDOW(chooser), GTK_WIN_POS_MOUSE);
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    gchar* file_name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    gtk_widget_destroy(chooser);
    if (file_name == nullptr) return;  // not a local file
    const std::string name = file_name;
    g_free(file_name);
    const device_part part = build_device_part(window_take_device(), choices.convert_format);
    choices.device_kind = part.kind;
    process_start_playback(_("playing"), window_command_row(), open_argument_string(part.words, name));
    return;
  }
  gtk_widget_destroy(chooser);
}

void dialog_settings() {
  GtkWidget* dialog = new_dialog(_("Korvo - Playback Settings"));
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, kSettingsSpacing);

  GtkWidget* convert = gtk_check_button_new_with_label(_("convert format when necessary"));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(convert), choices.convert_format);
  settings.convert = GTK_TOGGLE_BUTTON(convert);
  gtk_box_pack_start(GTK_BOX(box), convert, FALSE, FALSE, 0);

  GtkWidget* size_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kRowSpacing);
  gtk_box_pack_start(GTK_BOX(size_row), gtk_label_new(_("Sound Buffer Size")), FALSE, FALSE, 0);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_max_length(GTK_ENTRY(entry), kBufferEntryChars);
  gtk_entry_set_text(GTK_ENTRY(entry), std::to_string(choices.buffer_mb).c_str());
  settings.buffer = GTK_ENTRY(entry);
  gtk_box_pack_start(GTK_BOX(size_row), entry, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(size_row), gtk_label_new("MBytes"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), size_row, FALSE, FALSE, 0);

  GtkWidget* button_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kRowSpacing);
  GtkWidget* ok = gtk_button_new_with_label(_("Ok"));
  g_signal_connect(ok, "clicked", G_CALLBACK(on_settings_ok), dialog);
  GtkWidget* cancel = gtk_button_new_with_label(_("Cancel"));
  g_signal_connect(cancel, "clicked", G_CALLBACK(on_close_clicked), dialog);
  gtk_box_pack_start(GTK_BOX(button_row), ok, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(button_row), cancel, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), button_row, FALSE, FALSE, 0);

  gtk_container_add(GTK_CONTAINER(dialog), box);
  show_dialog(dialog);
}

void dialog_version() {
  message_dialog(_("Korvo version"), "Korvo Ver.1.0\n", _("Ok"));
  process_start_playback(_("version"), window_command_row(), kVersionArguments);
}

void dialog_confirm(const char* message) { message_dialog(_("Korvo - Confirm"), message, _("Confirm")); }
